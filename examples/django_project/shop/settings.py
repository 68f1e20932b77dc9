"""Settings of the example project: users arrive by the X-User header (a stand-in for a real
login), their permissions come from the role matrix "shop"."""

import os

from seed import DB

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

SECRET_KEY = "example-only"
DEBUG = True
ALLOWED_HOSTS = ["127.0.0.1", "localhost"]
ROOT_URLCONF = "shop.urls"
USE_TZ = True
INSTALLED_APPS = ["django.contrib.auth", "django.contrib.contenttypes", "django.contrib.sessions", "shop"]
MIDDLEWARE = [
    "django.contrib.sessions.middleware.SessionMiddleware",
    "django.contrib.auth.middleware.AuthenticationMiddleware",
    "shop.views.HeaderUserMiddleware",
]
AUTHENTICATION_BACKENDS = [
    "django.contrib.auth.backends.RemoteUserBackend",  # makes the users the header names
    "zarn_user.django.RoleMatrixBackend",
]
ZARN_ROLES = {"APP": "shop", "DB": DB}
DATABASES = {"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": os.path.join(HERE, "django.sqlite3")}}
TEMPLATES = [{
    "BACKEND": "django.template.backends.django.DjangoTemplates",
    "DIRS": [os.path.join(HERE, "shop")],
    "OPTIONS": {"context_processors": ["django.contrib.auth.context_processors.auth"]},
}]
