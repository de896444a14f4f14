// The front end.
