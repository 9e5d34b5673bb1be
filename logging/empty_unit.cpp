// Keeps a library whose directory holds no source yet a valid target.
