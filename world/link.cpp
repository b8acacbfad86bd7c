#include "world/link.h"

#include <cstring>

namespace sim {

void UartLink::send(const char* text) {
    send(reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

} // namespace sim
