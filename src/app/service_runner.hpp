#pragma once

#include "config/settings.hpp"

// Builds the daemon's object graph from the loaded configuration, serves until SIGINT or
// SIGTERM, then tears it down in order. Every failure leaves as an exception; returns 1 when
// records held for an unwritable log had to be given up at the stop, else 0.
int run_service(const settings& config);
