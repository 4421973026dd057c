// libFuzzer target for the property-list reader: any bytes, in any of the forms it reads
// (XML, binary, JSON, the old OpenStep text form). See PropertyListRoundTrip.hpp for what
// must hold.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "../tests/foundation/PropertyListRoundTrip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string fault = tandril::test::propertyListRoundTripFault(tandril::Bytes(data, data + size));
    if (!fault.empty()) {
        std::fprintf(stderr, "%s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
