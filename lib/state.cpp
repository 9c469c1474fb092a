// state.cpp - the module state. Constant-initialised: nothing runs when the library loads.
#include "rsid_state.h"

constinit rsid_receiver rsid_rx{};
constinit rsid_transmitter rsid_tx{};
