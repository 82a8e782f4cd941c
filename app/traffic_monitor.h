#pragma once

#include <QAbstractListModel>
#include <QDialog>
#include <QRect>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "frames.h"
#include "trace.h"
#include "traffic_log.h"
#include "traffic_rows.h"
#include "traffic_saver.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QListView;
class QPushButton;
class QTimer;

// Where a window of `size` goes beside `panel` on `screen`: to its right, else its left, else
// below or above it, and where none has room, on the side with the most room, made to fit it.
// It never covers the panel, and stays on the screen.
QRect PlaceBeside(const QRect& panel, const QSize& size, const QRect& screen);

// The lines a view shows: the rows of a log, made into text only when the view asks. Problems
// are drawn in red, and say "problem:" too; a line's tooltip is the whole line.
class TrafficViewModel : public QAbstractListModel {
    Q_OBJECT
  public:
    TrafficViewModel(const TrafficLog& log, TrafficRows& rows,
                     std::chrono::steady_clock::time_point openedAt, QObject* parent);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    // Shows what the rows gained and lost since the last time.
    void Update();
    void Reset(const std::function<void()>& change);
    void SetTimeMode(TrafficTime mode);
    TrafficTime TimeMode() const { return m_mode; }
    QString LineText(std::size_t row) const;

  private:
    const TrafficLog& m_log;
    TrafficRows& m_rows;
    std::chrono::steady_clock::time_point m_openedAt;
    TrafficTime m_mode = TrafficTime::SinceOpen;
    std::size_t m_shown = 0;
};

// The traffic monitor: a window of its own, opened beside the main window, that shows one line
// per frame sent, received or dropped and per event of either link while it is open. Closing it
// only hides it: its history, filters and settings stay for the whole run, and reopening it goes
// on where it was. The links only queue what they trace; its timer takes a bounded share of it
// into the history every period, so a flood never stalls the window.
class TrafficMonitor : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kBatchPeriodMs = 50;
    static constexpr std::size_t kTakePerPeriod = 20000;
    // Asks for the file to save to and its format; an empty name saves nothing.
    using PathAsker = std::function<QString(QWidget* owner, TrafficFormat& format)>;

    // windowAddress: the main window's address, read on this thread when frames are taken in.
    explicit TrafficMonitor(std::function<Byte()> windowAddress, QWidget* parent = nullptr,
                            TrafficLog::Limits limits = TrafficLog::Limits());
    ~TrafficMonitor() override;

    // Shows the monitor beside `panel`, on its screen, and listens from now on.
    void ShowBeside(QWidget* panel);
    // Takes in what was traced since the last time (the timer calls it every batch period).
    void TakePending();
    void SetPaused(bool paused);
    void SetTimeMode(TrafficTime mode);
    void SetFilter(const TrafficFilter& filter);
    // Empties the view and the history and starts the counts again.
    void Clear();
    // The selected lines, in order, to the clipboard.
    void CopySelection();
    // Starts writing every line kept to `path`; the file is whole once Saving() is false.
    void SaveTo(const QString& path, TrafficFormat format);
    bool Saving() const { return m_saver != nullptr; }
    void SetPathAsker(PathAsker asker) { m_askPath = std::move(asker); }

    const TrafficLog& Log() const { return m_log; }
    std::size_t HistorySize() const { return m_log.Size(); }
    QStringList HistoryLines() const;
    QStringList ViewLines() const;
    QListView* View() const { return m_view; }
    QString StatusText() const;

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    void BuildControls();
    void BuildFilters(class QHBoxLayout* bar);
    QPushButton* AddButton(const QString& text, int id);
    void OnSave();
    void OnFilterChosen();
    void CheckSaver();
    void ShowStatus();

    std::function<Byte()> m_windowAddress;
    std::chrono::steady_clock::time_point m_openedAt;
    TrafficLog m_log;
    TrafficRows m_rows;
    PathAsker m_askPath;
    std::unique_ptr<TrafficSaver> m_saver;
    QString m_saveOutcome;

    TrafficViewModel* m_model = nullptr;
    QListView* m_view = nullptr;
    QComboBox* m_timeMode = nullptr;
    QComboBox* m_direction = nullptr;
    QComboBox* m_unit = nullptr;
    QComboBox* m_function = nullptr;
    QCheckBox* m_problems = nullptr;
    QPushButton* m_pause = nullptr;
    QLabel* m_counters = nullptr;
    QLabel* m_status = nullptr;
    QTimer* m_batchTimer = nullptr;
    std::optional<TraceSubscription> m_subscription;  // while shown; ends before the rest goes
};
