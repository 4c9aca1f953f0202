// Empty: a place for temporary local definitions while the layer is being written.
