// The host entry point sortfile_.
