// The connection sequence: login, addresses, connect, login message, readiness, peer host.
#pragma once

#include "app/window_port.h"

namespace talmeris {
struct ClientContext;
}
