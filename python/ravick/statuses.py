"""The command's exit statuses, in a module of their own so that the parser
can name them without loading the finder."""

EXIT_OK = 0
EXIT_UNREADABLE = 1
EXIT_USAGE = 2
EXIT_INTERNAL = 3
