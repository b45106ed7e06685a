// Command-line switches that ask for registration instead of serving.
