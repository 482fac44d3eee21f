#include "system/console.hpp"

#include <fcntl.h>
#include <io.h>

namespace wpan2pcap {

void prepare_standard_streams() { _setmode(standard_output, _O_BINARY); }

} // namespace wpan2pcap
