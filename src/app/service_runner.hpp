#pragma once

#include "config/settings.hpp"

// Builds the daemon's object graph from the loaded configuration, serves until SIGINT or
// SIGTERM, then tears it down in order. Every failure leaves as an exception.
void run_service(const settings& config);
