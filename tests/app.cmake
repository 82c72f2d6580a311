# Tests of the window and controller.
