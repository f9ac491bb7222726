"""The package's version, in one place for the package, its pages and its command line."""

__version__ = "0.1.0"
