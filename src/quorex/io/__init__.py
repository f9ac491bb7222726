"""Where data comes from and goes to: the command line's files, the dataset storage, a synthetic market."""
