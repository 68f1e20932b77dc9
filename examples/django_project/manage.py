#!/usr/bin/env python
"""The example Django project: python examples/django_project/manage.py demo, then

    curl -H 'X-User: bob' http://127.0.0.1:8000/invoices            # 200: bob is in group clerk
    curl -H 'X-User: bob' http://127.0.0.1:8000/invoices/new        # 403
    curl -H 'X-User: alice@example.com' http://127.0.0.1:8000/invoices/new   # 200: an owner
    curl -H 'X-User: bob' http://127.0.0.1:8000/                     # what the template shows
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]  # this project, and the examples' seed module

if __name__ == "__main__":
    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "shop.settings")
    from django.core.management import execute_from_command_line

    execute_from_command_line(sys.argv)
