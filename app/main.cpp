// orvane: the search panel.
#include "app/lifecycle.h"

int main(int argc, char** argv) { return RunApplication(argc, argv, "Orvane", ORVANE_VERSION, OrvaneMain); }
