#include "registry.h"

namespace quorvel {

remote_io_registry& abroad_ios = *new remote_io_registry;
announcement_list& announcements = *new announcement_list;
fair_mutex& m_mutex = *new fair_mutex;

bool is_stale(std::int64_t ts, std::int64_t now) {
    if (ts >= now) return false;
    // now - ts is positive here and fits the unsigned type exactly.
    return static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(ts) >
           static_cast<std::uint64_t>(stale_after_s);
}

}  // namespace quorvel
