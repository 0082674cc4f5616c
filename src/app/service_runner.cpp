#include "app/service_runner.hpp"

void run_service(const yaml_config& /*config*/) {}
