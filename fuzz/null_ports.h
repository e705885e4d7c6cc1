// Ports that accept every call and keep nothing, so a fuzz run's memory stays flat.
#pragma once

#include "state/context.h"
#include "state/null_window_port.h"

namespace talmeris::fuzz {

using NullWindows = NullWindowPort;

class NullServer final : public net::Server {
 public:
  net::HRESULT Initialize(void*, net::MessageHandler, std::uint32_t) override { return 0; }
  void SetInlineFilter(net::InlineFilter) override {}
  net::HRESULT EnumServiceProviders(const net::Guid*, net::ServiceProviderInfo*, std::uint32_t*,
                                    std::uint32_t*) override {
    return 0;
  }
  net::HRESULT Host(const net::ApplicationDesc&, const net::Address&) override { return 0; }
  net::HRESULT SendTo(net::DPNID, const std::uint8_t* data, std::uint32_t size, std::uint32_t,
                      std::uint32_t) override {
    // Touch every byte so a bad pointer or length shows under AddressSanitizer.
    volatile std::uint8_t sum = 0;
    for (std::uint32_t i = 0; i < size; ++i) sum = static_cast<std::uint8_t>(sum + data[i]);
    return net::DPNSUCCESS_PENDING;
  }
  net::HRESULT GetSendQueueInfo(net::DPNID, std::uint32_t* m, std::uint32_t* b,
                                std::uint32_t) override {
    if (m) *m = 0;
    if (b) *b = 0;
    return 0;
  }
  net::HRESULT GetConnectionInfo(net::DPNID, net::ConnectionInfo* i) override {
    *i = {};
    return 0;
  }
  net::HRESULT KeepPlayer(net::DPNID) override { return 0; }
  net::HRESULT Close(std::uint32_t) override { return 0; }
};

}  // namespace talmeris::fuzz
