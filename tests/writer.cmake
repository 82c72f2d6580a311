# Tests of the image writer and device access.
