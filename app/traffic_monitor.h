#pragma once

#include <QAbstractListModel>
#include <QDialog>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "frames.h"
#include "trace.h"

class QComboBox;
class QLabel;
class QListView;
class QPushButton;
class QTimer;

// One frame as the monitor took it from the trace.
struct TrafficFrame {
    std::chrono::steady_clock::time_point time;
    std::chrono::system_clock::time_point wallTime;
    TraceLink link;
    std::string direction;
    std::vector<Byte> bytes;
    Byte windowAddress = 0;  // the address echoes were told apart by when it came
};
using TrafficFramePtr = std::shared_ptr<const TrafficFrame>;

enum class TrafficTime : std::uint8_t { SinceOpen, WallClock };

// One monitor line: time, link, direction, hex, and what the frame means.
//   "   1234.567  COM5 9600   tx    05 05 00 10 FF 00 8C 7E  write RL1 on, unit 5"
QString TrafficLineText(const TrafficFrame& frame, TrafficTime mode,
                        std::chrono::steady_clock::time_point openedAt);

// The lines the monitor's view shows, at most `capacity`, oldest first. Lines are made into text
// only when the view asks for them.
class TrafficViewModel : public QAbstractListModel {
    Q_OBJECT
  public:
    TrafficViewModel(std::size_t capacity, std::chrono::steady_clock::time_point openedAt,
                     QObject* parent);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    // Shows the lines after the others; the oldest give way beyond the capacity.
    void Append(std::span<const TrafficFramePtr> lines);
    void Clear();
    void SetTimeMode(TrafficTime mode);
    QString LineText(std::size_t row) const;

  private:
    std::size_t m_capacity;
    std::chrono::steady_clock::time_point m_openedAt;
    TrafficTime m_mode = TrafficTime::SinceOpen;
    std::deque<TrafficFramePtr> m_lines;
};

// How many lines the monitor keeps, and how many its view takes in per batch.
struct TrafficLimits {
    static constexpr std::size_t kHistoryLines = 100000;
    static constexpr std::size_t kBatchLines = 500;
    std::size_t history = kHistoryLines;
    std::size_t batch = kBatchLines;
};

// The traffic monitor: a window of its own, opened beside the main window, that shows one line
// per frame sent, received or dropped on either link while it is open. It keeps the last
// `history` lines for saving; the view takes in at most `batch` lines per turn of its timer and
// counts the rest as not shown, so a flood never stalls the window. Closing it stops nothing.
class TrafficMonitor : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kBatchPeriodMs = 50;
    using Limits = TrafficLimits;
    // Asks for the file to save to; an empty name saves nothing.
    using PathAsker = std::function<QString(QWidget* owner)>;

    // windowAddress: the main window's address, read on this thread when frames are taken in.
    explicit TrafficMonitor(std::function<Byte()> windowAddress, QWidget* parent = nullptr,
                            Limits limits = Limits());
    ~TrafficMonitor() override;

    // Takes in the frames traced since the last time (the timer calls it every batch period).
    void TakePending();
    void SetPaused(bool paused);
    void SetTimeMode(TrafficTime mode);
    // Empties the view and the history and starts the counts again.
    void Clear();
    // The selected lines, in order, to the clipboard.
    void CopySelection();
    // Writes every line of the history to `path`; false, with a message box, when it cannot.
    bool SaveTo(const QString& path);
    void SetPathAsker(PathAsker asker) { m_askPath = std::move(asker); }

    std::uint64_t Count() const { return m_count; }
    std::uint64_t NotShown() const { return m_notShown; }
    std::size_t HistorySize() const { return m_history.size(); }
    QStringList HistoryLines() const;
    QStringList ViewLines() const;
    QListView* View() const { return m_view; }
    QString StatusText() const;

  private:
    void BuildControls();
    QPushButton* AddButton(const QString& text, int id);
    void OnSave();
    void ShowStatus();
    void Keep(const TrafficFramePtr& frame);
    void Show(std::span<const TrafficFramePtr> lines);
    void OnTrace(const TraceEvent& event);

    std::function<Byte()> m_windowAddress;
    Limits m_limits;
    std::chrono::steady_clock::time_point m_openedAt;
    TrafficTime m_mode = TrafficTime::SinceOpen;
    bool m_paused = false;
    std::uint64_t m_count = 0;
    std::uint64_t m_notShown = 0;
    std::uint64_t m_forgotten = 0;  // lines the history no longer keeps
    std::deque<TrafficFramePtr> m_history;
    PathAsker m_askPath;

    std::mutex m_pendingMutex;  // the links' threads add, this thread takes
    std::deque<TrafficFrame> m_pending;
    std::uint64_t m_pendingLost = 0;  // beyond a history's worth waiting: counted, not kept

    TrafficViewModel* m_model = nullptr;
    QListView* m_view = nullptr;
    QComboBox* m_timeMode = nullptr;
    QPushButton* m_pause = nullptr;
    QLabel* m_status = nullptr;
    QTimer* m_batchTimer = nullptr;
    std::optional<TraceSubscription> m_subscription;  // last: ends before the rest goes
};
