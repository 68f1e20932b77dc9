"""Views guarded by Django's own permission tools; the permissions come from the role matrix."""

from django.contrib.auth.decorators import permission_required
from django.contrib.auth.middleware import RemoteUserMiddleware
from django.http import JsonResponse
from django.shortcuts import render


class HeaderUserMiddleware(RemoteUserMiddleware):
    header = "HTTP_X_USER"  # a stand-in for a real login


def index(request):
    return render(request, "index.txt", content_type="text/plain")


@permission_required("invoice.read", raise_exception=True)
def invoices(request):
    return JsonResponse([{"id": 1, "total": 42}], safe=False)


@permission_required("invoice.write", raise_exception=True)
def new_invoice(request):
    return JsonResponse({"id": 2})
