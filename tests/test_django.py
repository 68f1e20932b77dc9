"""The Django backend, through Django's test client and test database (SQLite) on each store."""

import django
import pytest
from django.conf import settings

if not settings.configured:
    settings.configure(
        SECRET_KEY="tests-only", ALLOWED_HOSTS=["testserver"], USE_TZ=True, ROOT_URLCONF=__name__,
        INSTALLED_APPS=["django.contrib.auth", "django.contrib.contenttypes", "django.contrib.sessions"],
        DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": ":memory:"}},
        MIDDLEWARE=["django.contrib.sessions.middleware.SessionMiddleware",
                    "django.contrib.auth.middleware.AuthenticationMiddleware"],
        AUTHENTICATION_BACKENDS=["django.contrib.auth.backends.ModelBackend", "zarn_user.django.RoleMatrixBackend"],
        TEMPLATES=[{"BACKEND": "django.template.backends.django.DjangoTemplates",
                    "OPTIONS": {"context_processors": ["django.contrib.auth.context_processors.auth"]}}],
        PASSWORD_HASHERS=["django.contrib.auth.hashers.MD5PasswordHasher"],
    )
    django.setup()

from django.contrib.auth.decorators import permission_required  # noqa: E402
from django.contrib.auth.mixins import PermissionRequiredMixin  # noqa: E402
from django.contrib.auth.models import Group, User  # noqa: E402
from django.core.exceptions import ImproperlyConfigured  # noqa: E402
from django.http import HttpResponse  # noqa: E402
from django.template import engines  # noqa: E402
from django.test import Client, override_settings  # noqa: E402
from django.test.utils import setup_test_environment, teardown_test_environment  # noqa: E402
from django.urls import path  # noqa: E402
from django.views import View  # noqa: E402

from webapps import build_shop, elsewhere  # noqa: E402
from zarn_user.django import RoleMatrixBackend, directory  # noqa: E402


@permission_required("invoice.read", raise_exception=True)
def invoices(request):
    return HttpResponse("invoices")


class Write(PermissionRequiredMixin, View):
    permission_required = "invoice.write"
    raise_exception = True

    def get(self, request):
        return HttpResponse("written")


def page(request):
    text = "{% if perms.invoice %}module {% endif %}read={{ perms.invoice.read }} write={{ perms.invoice.write }}"
    return HttpResponse(engines["django"].from_string(text).render({}, request))


urlpatterns = [path("invoices", invoices), path("write", Write.as_view()), path("page", page)]


@pytest.fixture(scope="module", autouse=True)
def test_database():
    from django.db import connection

    setup_test_environment()
    name = connection.creation.create_test_db(verbosity=0)
    yield
    connection.creation.destroy_test_db(name, verbosity=0)
    teardown_test_environment()


@pytest.fixture
def shop(rm, engine):
    build_shop(rm, engine)
    with override_settings(ZARN_ROLES={"APP": "shop", "DB": engine}):
        yield
    User.objects.all().delete()
    Group.objects.all().delete()


def make_user(name, *groups, **fields):
    user = User.objects.create_user(name, password="x", **fields)
    for group in groups:
        user.groups.add(Group.objects.get_or_create(name=group)[0])
    return User.objects.get(pk=user.pk)  # fresh: nothing cached on it


def test_groups_and_assignments_give_permissions(shop):
    clerk = make_user("carl", "clerk", "not_a_role")
    assert clerk.has_perm("invoice.read") and not clerk.has_perm("invoice.write")
    assert clerk.has_module_perms("invoice") and not clerk.has_module_perms("order")
    assert not clerk.has_perm("invoice") and not clerk.has_perm("invoice.read", obj=object())
    assert clerk.get_all_permissions() == {"invoice.read"}

    alice = make_user("alice")  # an owner in the assignment store, in no group
    assert alice.has_perm("invoice.write") and alice.has_perm("invoice.read")
    assert RoleMatrixBackend().get_user_permissions(alice) == {"invoice.read", "invoice.write"}
    assert RoleMatrixBackend().get_group_permissions(alice) == set()

    client = Client()
    client.force_login(clerk)
    assert client.get("/invoices").status_code == 200
    assert client.get("/write").status_code == 403
    assert client.get("/page").content == b"module read=True write=False"
    client.force_login(User.objects.get(username="alice"))
    assert client.get("/write").status_code == 200
    client.logout()
    assert client.get("/invoices").status_code == 403
    assert client.get("/page").content == b"read=False write=False"

    # Group names the matrix does not hold were never asked about.
    matrix = directory().matrix()
    assert "not_a_role" not in matrix.dag


def test_inactive_users_and_superusers(shop):
    off = make_user("alice", "clerk", is_active=False)  # assigned owner, in group clerk, inactive
    assert not off.has_perm("invoice.read") and not off.has_module_perms("invoice")
    assert off.get_all_permissions() == set()
    boss = make_user("boss", is_superuser=True)
    assert boss.has_perm("anything.at_all") and boss.has_module_perms("whatever")
    assert {"invoice.read", "invoice.write", "*.*"} <= boss.get_all_permissions()
    sleeping = make_user("sleeping", is_superuser=True, is_active=False)
    assert not sleeping.has_perm("invoice.read")


def test_a_revoke_elsewhere_refuses_the_next_request(rm, shop, engine, store_url):
    make_user("alice")
    client = Client()
    client.force_login(User.objects.get(username="alice"))
    assert client.get("/write").status_code == 200
    if store_url == "memory:":
        rm.RoleMatrix.load("shop", engine=engine).set_role_permissions("billing", [])
    else:
        elsewhere(store_url, "revoke", "shop", "billing", "invoice", "write")
    assert client.get("/write").status_code == 403
    assert client.get("/invoices").status_code == 200


def test_settings_are_required(shop):
    with override_settings(ZARN_ROLES=None):
        with pytest.raises(ImproperlyConfigured):
            make_user("carl").has_perm("invoice.read")
