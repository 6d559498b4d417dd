#include "registry.h"

namespace quorvel {

remote_io_registry& abroad_ios = *new remote_io_registry;
announcement_list& announcements = *new announcement_list;
std::mutex& m_mutex = *new std::mutex;

bool is_stale(long ts, long now) {
    if (ts >= now) return false;
    // now - ts is positive here and fits the unsigned type exactly.
    return static_cast<unsigned long>(now) - static_cast<unsigned long>(ts) >
           static_cast<unsigned long>(stale_after_s);
}

}  // namespace quorvel
