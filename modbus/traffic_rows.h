#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "traffic_log.h"

// The lines of a log a view shows: the newest of those its filter lets through, in order. While
// paused the view's rows stay as they are, and what came meanwhile is shown on resuming; lines the
// history lets go, or the newest push out, leave the rows from the front.
class TrafficRows {
  public:
    // The newest lines a view shows at most, of those the filter lets through: a list view lays
    // out every row it has, and would take ever longer per batch under a flood.
    static constexpr std::size_t kMostRows = 20000;

    explicit TrafficRows(std::size_t mostRows = kMostRows) : m_mostRows(mostRows) {}

    struct Change {
        std::size_t removedFront = 0;  // visible rows gone from the front
        std::size_t appended = 0;      // rows now visible at the end
    };

    // Takes in what the log gained and lost since the last time.
    Change Update(const TrafficLog& log);
    // Shows the lines of the history the filter lets through, paused or not.
    void SetFilter(const TrafficFilter& filter, const TrafficLog& log);
    const TrafficFilter& Filter() const { return m_filter; }
    void SetPaused(bool paused) { m_paused = paused; }
    bool Paused() const { return m_paused; }
    void Clear(const TrafficLog& log);

    std::size_t Visible() const { return m_visible; }
    // Matching lines that wait for the resume.
    std::size_t Held() const { return m_rows.size() - m_visible; }
    std::uint64_t SeqAt(std::size_t row) const { return m_rows[row]; }

  private:
    std::size_t m_mostRows;
    TrafficFilter m_filter;
    bool m_paused = false;
    std::deque<std::uint64_t> m_rows;  // the matching lines' numbers
    std::size_t m_visible = 0;
    std::uint64_t m_scanned = 0;  // the log's lines before this one are sorted
};
