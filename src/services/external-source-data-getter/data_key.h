#pragma once

// The supersede key of a data message read in one pass over its bytes: the
// members the key needs are picked out and every other value is checked and
// skipped without being built. It gives the key and the refusals that
// DataReader gives read as it comes (see data_message_key): the same JSON
// grammar as the library, strings checked as UTF-8, a number too large for
// a double refused. Where the scanner is not sure of the library's reading,
// it gives no key.

#include <string>

namespace quorvel {

// Whether [first, last) has a key, and then key: io_id, then a zero byte
// and the name of each member of "data" as it comes.
bool scan_data_key(const unsigned char* first, const unsigned char* last, std::string& key);

}  // namespace quorvel
