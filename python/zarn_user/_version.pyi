# Written at build time (pyproject.toml: tool.scikit-build.generate).
__version__: str
