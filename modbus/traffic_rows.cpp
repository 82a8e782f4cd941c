#include "traffic_rows.h"

#include <algorithm>
#include <utility>

TrafficRows::Change TrafficRows::Update(const TrafficLog& log) {
    Change change;
    while (!m_rows.empty() && m_rows.front() < log.FirstSeq()) {
        m_rows.pop_front();
        if (m_visible > 0) {
            --m_visible;
            ++change.removedFront;
        }
    }
    for (std::uint64_t seq = std::max(m_scanned, log.FirstSeq()); seq < log.EndSeq(); ++seq) {
        if (m_filter.Matches(*log.BySeq(seq))) {
            m_rows.push_back(seq);
        }
    }
    m_scanned = log.EndSeq();
    while (m_rows.size() > m_mostRows) {
        m_rows.pop_front();
        if (m_visible > 0) {
            --m_visible;
            ++change.removedFront;
        }
    }
    if (!m_paused) {
        change.appended = m_rows.size() - m_visible;
        m_visible = m_rows.size();
    }
    return change;
}

void TrafficRows::SetFilter(const TrafficFilter& filter, const TrafficLog& log) {
    m_filter = filter;
    Clear(log);
    m_scanned = log.FirstSeq();
    const bool paused = std::exchange(m_paused, false);
    Update(log);
    m_paused = paused;
}

void TrafficRows::Clear(const TrafficLog& log) {
    std::deque<std::uint64_t>().swap(m_rows);
    m_visible = 0;
    m_scanned = log.EndSeq();
}
