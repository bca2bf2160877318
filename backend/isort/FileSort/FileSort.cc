// The sort engine: FileSort and its parts.
