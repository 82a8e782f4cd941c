#include "traffic_monitor.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "message_box.h"
#include "traffic_summary.h"

namespace {

// The monitor's controls, known to assistive technology by these ids.
enum MonitorId : int {
    IDC_TRAFFIC_TIME = 2001,
    IDC_TRAFFIC_PAUSE = 2002,
    IDC_TRAFFIC_CLEAR = 2003,
    IDC_TRAFFIC_COPY = 2004,
    IDC_TRAFFIC_SAVE = 2005,
    IDC_TRAFFIC_LINES = 2006,
    IDC_TRAFFIC_STATUS = 2007,
};

constexpr int kMinimumWidth = 720;
constexpr int kMinimumHeight = 360;

QString TimeText(const TrafficFrame& frame, TrafficTime mode,
                 std::chrono::steady_clock::time_point openedAt) {
    if (mode == TrafficTime::WallClock) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(frame.wallTime.time_since_epoch())
                .count();
        return QDateTime::fromMSecsSinceEpoch(ms).toString(
            QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    }
    const double ms = std::chrono::duration<double, std::milli>(frame.time - openedAt).count();
    return QString::number(ms, 'f', 3).rightJustified(11);
}

QString LinkText(const TraceLink& link) {
    QString text = QString::fromStdString(link.name);
    if (link.baud != 0) {
        text += QLatin1Char(' ') + QString::number(link.baud);
    }
    return text;
}

void AccessibleAs(QWidget* widget, const QString& name, int id) {
    widget->setAccessibleName(name);
    widget->setAccessibleDescription(QString::number(id));
}

}  // namespace

QString TrafficLineText(const TrafficFrame& frame, TrafficTime mode,
                        std::chrono::steady_clock::time_point openedAt) {
    const QString summary = QString::fromStdString(
        SummarizeFrame(frame.direction, frame.link.framing, frame.bytes, frame.windowAddress));
    return TimeText(frame, mode, openedAt) + QStringLiteral("  ") +
           LinkText(frame.link).leftJustified(11) + QLatin1Char(' ') +
           QString::fromStdString(frame.direction).leftJustified(5) +
           QString::fromStdString(HexText(frame.bytes)) + QStringLiteral("  ") + summary;
}

// ---- the view's lines ---------------------------------------------------------------------------

TrafficViewModel::TrafficViewModel(std::size_t capacity,
                                   std::chrono::steady_clock::time_point openedAt, QObject* parent)
    : QAbstractListModel(parent),
      m_capacity(std::max<std::size_t>(capacity, 1)),
      m_openedAt(openedAt) {}

int TrafficViewModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_lines.size());
}

QVariant TrafficViewModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || static_cast<std::size_t>(index.row()) >= m_lines.size()) {
        return {};
    }
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole) {
        return LineText(static_cast<std::size_t>(index.row()));
    }
    return {};
}

QString TrafficViewModel::LineText(std::size_t row) const {
    return TrafficLineText(*m_lines.at(row), m_mode, m_openedAt);
}

void TrafficViewModel::Append(std::span<const TrafficFramePtr> lines) {
    if (lines.size() > m_capacity) {
        lines = lines.last(m_capacity);
    }
    const std::size_t total = m_lines.size() + lines.size();
    const std::size_t overflow = total > m_capacity ? total - m_capacity : 0;
    if (overflow > 0) {
        beginRemoveRows({}, 0, static_cast<int>(overflow) - 1);
        m_lines.erase(m_lines.begin(), m_lines.begin() + static_cast<std::ptrdiff_t>(overflow));
        endRemoveRows();
    }
    if (lines.empty()) {
        return;
    }
    const int first = static_cast<int>(m_lines.size());
    beginInsertRows({}, first, first + static_cast<int>(lines.size()) - 1);
    m_lines.insert(m_lines.end(), lines.begin(), lines.end());
    endInsertRows();
}

void TrafficViewModel::Clear() {
    beginResetModel();
    m_lines.clear();
    endResetModel();
}

void TrafficViewModel::SetTimeMode(TrafficTime mode) {
    m_mode = mode;
    if (!m_lines.empty()) {
        emit dataChanged(index(0), index(static_cast<int>(m_lines.size()) - 1));
    }
}

// ---- the window ---------------------------------------------------------------------------------

TrafficMonitor::TrafficMonitor(std::function<Byte()> windowAddress, QWidget* parent, Limits limits)
    : QDialog(parent),
      m_windowAddress(std::move(windowAddress)),
      m_limits(limits),
      m_openedAt(std::chrono::steady_clock::now()),
      m_askPath([](QWidget* owner) {
          return QFileDialog::getSaveFileName(owner, QStringLiteral("Save traffic"),
                                              QStringLiteral("kestrel-traffic.txt"),
                                              QStringLiteral("Text files (*.txt)"));
      }) {
    m_limits.history = std::max<std::size_t>(m_limits.history, 1);
    m_limits.batch = std::max<std::size_t>(m_limits.batch, 1);
    setWindowTitle(QStringLiteral("Traffic"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setModal(false);
    BuildControls();
    m_batchTimer = new QTimer(this);
    connect(m_batchTimer, &QTimer::timeout, this, &TrafficMonitor::TakePending);
    m_batchTimer->start(kBatchPeriodMs);
    m_subscription.emplace([this](const TraceEvent& event) { OnTrace(event); });
    ShowStatus();
}

TrafficMonitor::~TrafficMonitor() {
    m_subscription.reset();  // no link hands anything to a monitor that is going
}

void TrafficMonitor::BuildControls() {
    auto* layout = new QVBoxLayout(this);
    auto* bar = new QHBoxLayout;
    m_timeMode = new QComboBox(this);
    m_timeMode->addItem(QStringLiteral("ms since opened"));
    m_timeMode->addItem(QStringLiteral("wall clock"));
    AccessibleAs(m_timeMode, m_timeMode->currentText(), IDC_TRAFFIC_TIME);
    connect(m_timeMode, &QComboBox::currentIndexChanged, this, [this](int index) {
        m_timeMode->setAccessibleName(m_timeMode->currentText());
        SetTimeMode(index == 1 ? TrafficTime::WallClock : TrafficTime::SinceOpen);
    });
    auto* timeLabel = new QLabel(QStringLiteral("Time:"), this);
    timeLabel->setBuddy(m_timeMode);
    bar->addWidget(timeLabel);
    bar->addWidget(m_timeMode);
    m_pause = AddButton(QStringLiteral("Pause"), IDC_TRAFFIC_PAUSE);
    connect(m_pause, &QPushButton::clicked, this, [this] { SetPaused(!m_paused); });
    bar->addWidget(m_pause);
    QPushButton* clear = AddButton(QStringLiteral("Clear"), IDC_TRAFFIC_CLEAR);
    connect(clear, &QPushButton::clicked, this, &TrafficMonitor::Clear);
    bar->addWidget(clear);
    QPushButton* copy = AddButton(QStringLiteral("Copy"), IDC_TRAFFIC_COPY);
    connect(copy, &QPushButton::clicked, this, &TrafficMonitor::CopySelection);
    bar->addWidget(copy);
    QPushButton* save = AddButton(QStringLiteral("Save..."), IDC_TRAFFIC_SAVE);
    connect(save, &QPushButton::clicked, this, &TrafficMonitor::OnSave);
    bar->addWidget(save);
    bar->addStretch();
    layout->addLayout(bar);

    m_model = new TrafficViewModel(m_limits.history, m_openedAt, this);
    m_view = new QListView(this);
    m_view->setModel(m_model);
    m_view->setUniformItemSizes(true);
    m_view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    AccessibleAs(m_view, QStringLiteral("Traffic"), IDC_TRAFFIC_LINES);
    auto* copyKey = new QShortcut(QKeySequence::Copy, m_view);
    copyKey->setContext(Qt::WidgetShortcut);
    connect(copyKey, &QShortcut::activated, this, &TrafficMonitor::CopySelection);
    layout->addWidget(m_view, 1);

    m_status = new QLabel(this);
    m_status->setAccessibleDescription(QString::number(IDC_TRAFFIC_STATUS));
    layout->addWidget(m_status);
    setMinimumSize(kMinimumWidth, kMinimumHeight);
}

QPushButton* TrafficMonitor::AddButton(const QString& text, int id) {
    auto* button = new QPushButton(text, this);
    button->setAutoDefault(false);
    AccessibleAs(button, text, id);
    return button;
}

// Any link's thread: the frame waits for the next batch. What waits is bounded by the history:
// frames beyond it would be forgotten by the history anyway, and are only counted.
void TrafficMonitor::OnTrace(const TraceEvent& event) {
    const std::lock_guard lock(m_pendingMutex);
    if (m_pending.size() >= m_limits.history) {
        m_pending.pop_front();
        ++m_pendingLost;
    }
    m_pending.push_back({event.time, event.wallTime, event.link, std::string(event.direction),
                         std::vector<Byte>(event.bytes.begin(), event.bytes.end()), 0});
}

void TrafficMonitor::TakePending() {
    std::deque<TrafficFrame> taken;
    std::uint64_t lost = 0;
    {
        const std::lock_guard lock(m_pendingMutex);
        taken.swap(m_pending);
        lost = std::exchange(m_pendingLost, 0);
    }
    if (taken.empty() && lost == 0) {
        return;
    }
    m_count += lost;
    m_forgotten += lost;
    m_notShown += lost;
    const Byte address = m_windowAddress ? m_windowAddress() : Byte{0};
    std::vector<TrafficFramePtr> lines;
    lines.reserve(taken.size());
    for (TrafficFrame& frame : taken) {
        frame.windowAddress = address;
        lines.push_back(std::make_shared<const TrafficFrame>(std::move(frame)));
        Keep(lines.back());
    }
    Show(lines);
    ShowStatus();
}

// The newest batch's worth of the lines goes to the view (none while paused); the rest is
// counted as not shown. A view scrolled to its end follows the new lines.
void TrafficMonitor::Show(std::span<const TrafficFramePtr> lines) {
    const std::size_t shown = m_paused ? 0 : std::min(lines.size(), m_limits.batch);
    m_notShown += lines.size() - shown;
    if (shown == 0) {
        return;
    }
    const QScrollBar* scroll = m_view->verticalScrollBar();
    const bool atEnd = scroll->value() == scroll->maximum();
    m_model->Append(lines.last(shown));
    if (atEnd) {
        m_view->scrollToBottom();
    }
}

void TrafficMonitor::Keep(const TrafficFramePtr& frame) {
    ++m_count;
    m_history.push_back(frame);
    if (m_history.size() > m_limits.history) {
        m_history.pop_front();
        ++m_forgotten;
    }
}

void TrafficMonitor::SetPaused(bool paused) {
    m_paused = paused;
    m_pause->setText(paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    m_pause->setAccessibleName(m_pause->text());
    ShowStatus();
}

void TrafficMonitor::SetTimeMode(TrafficTime mode) {
    m_mode = mode;
    m_model->SetTimeMode(mode);
    if (m_timeMode->currentIndex() != static_cast<int>(mode)) {
        m_timeMode->setCurrentIndex(static_cast<int>(mode));
    }
}

void TrafficMonitor::Clear() {
    {
        const std::lock_guard lock(m_pendingMutex);
        m_pending.clear();
        m_pendingLost = 0;
    }
    m_history.clear();
    m_model->Clear();
    m_count = 0;
    m_notShown = 0;
    m_forgotten = 0;
    ShowStatus();
}

void TrafficMonitor::CopySelection() {
    QModelIndexList rows = m_view->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList lines;
    for (const QModelIndex& row : rows) {
        lines << m_model->LineText(static_cast<std::size_t>(row.row()));
    }
    if (!lines.isEmpty()) {
        QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    }
}

void TrafficMonitor::OnSave() {
    const QString path = m_askPath(this);
    if (!path.isEmpty()) {
        SaveTo(path);
    }
}

bool TrafficMonitor::SaveTo(const QString& path) {
    TakePending();  // everything traced up to now
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        QString text;
        if (m_forgotten > 0) {
            text += QStringLiteral("(%1 earlier lines are no longer kept)\n").arg(m_forgotten);
        }
        for (const QString& line : HistoryLines()) {
            text += line + QLatin1Char('\n');
        }
        file.write(text.toUtf8());
        if (file.commit()) {
            return true;
        }
    }
    KestrelMessageBox(
        this,
        QStringLiteral("The traffic could not be saved to %1: %2").arg(path, file.errorString()),
        MessageIcon::Warning);
    return false;
}

QStringList TrafficMonitor::HistoryLines() const {
    QStringList lines;
    lines.reserve(static_cast<qsizetype>(m_history.size()));
    for (const TrafficFramePtr& frame : m_history) {
        lines << TrafficLineText(*frame, m_mode, m_openedAt);
    }
    return lines;
}

QStringList TrafficMonitor::ViewLines() const {
    QStringList lines;
    for (int row = 0; row < m_model->rowCount(); ++row) {
        lines << m_model->LineText(static_cast<std::size_t>(row));
    }
    return lines;
}

QString TrafficMonitor::StatusText() const {
    QString text = QStringLiteral("%1 lines, %2 not shown").arg(m_count).arg(m_notShown);
    if (m_forgotten > 0) {
        text += QStringLiteral(", the oldest %1 no longer kept").arg(m_forgotten);
    }
    return text + (m_paused ? QStringLiteral(" (paused)") : QString());
}

void TrafficMonitor::ShowStatus() {
    m_status->setText(StatusText());
    m_status->setAccessibleName(m_status->text());
}
