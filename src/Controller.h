#pragma once
// The application object: the window's controls, the device list, the image
// choice and the write and clear workflows.
// (Placeholder until the controller lands: opens an empty window.)

int ApplicationMain(int argc, char** argv);
