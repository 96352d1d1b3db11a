#pragma once
// A hint that a large, freshly reserved and not yet written buffer be backed by huge pages,
// which makes its first writes much cheaper (far fewer page faults). Only a hint: where the
// system does not offer it, nothing happens and the buffer works as before.
#include <cstddef>

namespace drevik {

void preferHugePages(const void* start, std::size_t bytes);

} // namespace drevik
