from django.urls import path

from . import views

urlpatterns = [
    path("", views.index),
    path("invoices", views.invoices),
    path("invoices/new", views.new_invoice),
]
