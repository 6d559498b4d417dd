#pragma once

// Reads the configuration document without building one, from the JSON
// library's SAX events: a first pass finds the root's kind and the version,
// and only a document of version 2 is read again, for what the configuration
// step looks at (each remote io's id and control names), kept compact and
// only up to the first fault, so that memory follows the remote ios rather
// than the document. What it gives is what walking a document gave: the same
// remote ios up to the same fault, and the same errors (the last of repeated
// keys counts, objects give their values in key order, a value of the wrong
// type raises the library's own type error).

#include "registry.h"

#include <exception>
#include <vector>

namespace quorvel {

struct ConfigurationReading {
    AnnouncementList ios;      // to announce, in order
    std::vector<bool> whole;   // read to the end of its types: to register
    std::exception_ptr fault;  // to raise once the remote ios before it are announced
};

// Throws the JSON library's error for a payload that is not one JSON
// document, whose root is not an object, or whose version is not a number;
// a version other than 2 gives nothing to announce.
ConfigurationReading read_configuration(const std::vector<unsigned char>& payload);

}  // namespace quorvel
