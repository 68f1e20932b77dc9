"""manage.py demo: the database, the shop's roles, bob in the Django group "clerk", then the
development server on 127.0.0.1:8000."""

from django.contrib.auth.models import Group, User
from django.core.management import call_command
from django.core.management.base import BaseCommand

from seed import seed


class Command(BaseCommand):
    help = "Set up the example and run it on 127.0.0.1:8000"

    def handle(self, *args, **options):
        call_command("migrate", verbosity=0)
        seed()
        bob, _ = User.objects.get_or_create(username="bob")
        bob.groups.add(Group.objects.get_or_create(name="clerk")[0])
        call_command("runserver", "127.0.0.1:8000", use_reloader=False)
