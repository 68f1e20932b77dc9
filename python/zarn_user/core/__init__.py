"""The core: every change to a role matrix or to its users goes through here, whatever the
door (the Python API, the command line, the HTTP API and the page, the integrations).

It owns what is checked (text.py: the rule for every stored string and the name rules;
privilege.py: paths to everything), what is refused and why (errors.py: one class per
outcome, with fields), what is one commit and what is retried (ops.py, transfer.py), and
how files are read and written (interchange.py). The command line (`zarn_user.cli`) and
the HTTP API (`zarn_user.web`) sit above it and map its outcomes to exit statuses and HTTP
statuses; nothing here imports them.
"""
