#include "traffic_monitor.h"

#include <QApplication>
#include <QBrush>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <array>

#include "message_box.h"

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
    IDC_TRAFFIC_DIRECTION = 2008,
    IDC_TRAFFIC_UNIT = 2009,
    IDC_TRAFFIC_FUNCTION = 2010,
    IDC_TRAFFIC_PROBLEMS = 2011,
    IDC_TRAFFIC_COUNTERS = 2012,
};

constexpr int kMinimumWidth = 720;
constexpr int kMinimumHeight = 360;
constexpr int kGap = 8;  // between the panel and the monitor
constexpr int kHighestUnit = 255;

struct FunctionChoice {
    const char* text;
    int function;
};
constexpr std::array<FunctionChoice, 6> kFunctionChoices = {{
    {"any function", -1},
    {"1 query DI", 1},
    {"3 parameter read", 3},
    {"4 query AI", 4},
    {"5 relay write", 5},
    {"6 parameter write", 6},
}};

void AccessibleAs(QWidget* widget, const QString& name, int id) {
    widget->setAccessibleName(name);
    widget->setAccessibleDescription(QString::number(id));
}

// A box whose accessible name follows what it shows.
QComboBox* NewChoice(QWidget* owner, const QStringList& items, int id) {
    auto* box = new QComboBox(owner);
    box->addItems(items);
    AccessibleAs(box, box->currentText(), id);
    QObject::connect(box, &QComboBox::currentIndexChanged, box,
                     [box] { box->setAccessibleName(box->currentText()); });
    return box;
}

QRect Clamped(QRect rect, const QRect& screen) {
    rect.setSize(rect.size().boundedTo(screen.size()));
    rect.moveLeft(std::clamp(rect.left(), screen.left(), screen.right() - rect.width() + 1));
    rect.moveTop(std::clamp(rect.top(), screen.top(), screen.bottom() - rect.height() + 1));
    return rect;
}

}  // namespace

QRect PlaceBeside(const QRect& panel, const QSize& size, const QRect& screen) {
    const int right = screen.right() - panel.right() - kGap;
    const int left = panel.left() - screen.left() - kGap;
    const int below = screen.bottom() - panel.bottom() - kGap;
    const int above = panel.top() - screen.top() - kGap;
    const QRect besideRight(QPoint(panel.right() + 1 + kGap, panel.top()), size);
    const QRect besideLeft(QPoint(panel.left() - kGap - size.width(), panel.top()), size);
    const QRect underneath(QPoint(panel.left(), panel.bottom() + 1 + kGap), size);
    const QRect overhead(QPoint(panel.left(), panel.top() - kGap - size.height()), size);
    if (right >= size.width()) return Clamped(besideRight, screen);
    if (left >= size.width()) return Clamped(besideLeft, screen);
    if (below >= size.height()) return Clamped(underneath, screen);
    if (above >= size.height()) return Clamped(overhead, screen);
    // No side has room for the whole window: the roomiest side, the window made to fit it.
    const int most = std::max({right, left, below, above});
    if (most == right || most == left) {
        QRect placed = most == right ? besideRight : besideLeft;
        placed.setWidth(std::max(most, 1));
        placed.moveLeft(most == right ? panel.right() + 1 + kGap : panel.left() - kGap - most);
        placed.setHeight(std::min(size.height(), screen.height()));
        placed.moveTop(
            std::clamp(placed.top(), screen.top(), screen.bottom() - placed.height() + 1));
        return placed;
    }
    QRect placed = most == below ? underneath : overhead;
    placed.setHeight(std::max(most, 1));
    placed.moveTop(most == below ? panel.bottom() + 1 + kGap : panel.top() - kGap - most);
    placed.setWidth(std::min(size.width(), screen.width()));
    placed.moveLeft(std::clamp(placed.left(), screen.left(), screen.right() - placed.width() + 1));
    return placed;
}

// ---- the view's lines ---------------------------------------------------------------------------

TrafficViewModel::TrafficViewModel(const TrafficLog& log, TrafficRows& rows,
                                   std::chrono::steady_clock::time_point openedAt, QObject* parent)
    : QAbstractListModel(parent), m_log(log), m_rows(rows), m_openedAt(openedAt) {}

int TrafficViewModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_shown);
}

QVariant TrafficViewModel::data(const QModelIndex& index, int role) const {
    const auto row = static_cast<std::size_t>(index.row());
    if (!index.isValid() || row >= m_rows.Visible()) {
        return {};
    }
    switch (role) {
        case Qt::DisplayRole:
        case Qt::AccessibleTextRole:
        case Qt::ToolTipRole:
            return LineText(row);
        case Qt::ForegroundRole:
            if (m_log.BySeq(m_rows.SeqAt(row))->problem) {
                return QBrush(Qt::red);
            }
            return {};
        default:
            return {};
    }
}

QString TrafficViewModel::LineText(std::size_t row) const {
    return QString::fromStdString(
        TrafficLineText(*m_log.BySeq(m_rows.SeqAt(row)), m_mode, m_openedAt));
}

void TrafficViewModel::Update() {
    const TrafficRows::Change change = m_rows.Update(m_log);
    if (change.removedFront > 0) {
        beginRemoveRows({}, 0, static_cast<int>(change.removedFront) - 1);
        m_shown -= change.removedFront;
        endRemoveRows();
    }
    if (change.appended > 0) {
        beginInsertRows({}, static_cast<int>(m_shown),
                        static_cast<int>(m_shown + change.appended) - 1);
        m_shown += change.appended;
        endInsertRows();
    }
    const int last = static_cast<int>(m_shown) - 1;
    if (last >= 0 && m_log.BySeq(m_rows.SeqAt(m_shown - 1))->kind == TrafficKind::Dropped) {
        emit dataChanged(index(last), index(last));  // its run may have grown
    }
}

void TrafficViewModel::Reset(const std::function<void()>& change) {
    beginResetModel();
    change();
    m_shown = m_rows.Visible();
    endResetModel();
}

void TrafficViewModel::SetTimeMode(TrafficTime mode) {
    m_mode = mode;
    if (m_shown > 0) {
        emit dataChanged(index(0), index(static_cast<int>(m_shown) - 1));
    }
}

// ---- the window ---------------------------------------------------------------------------------

TrafficMonitor::TrafficMonitor(std::function<Byte()> windowAddress, QWidget* parent,
                               TrafficLog::Limits limits)
    : QDialog(parent),
      m_windowAddress(std::move(windowAddress)),
      m_openedAt(std::chrono::steady_clock::now()),
      m_log(limits),
      m_askPath([](QWidget* owner, TrafficFormat& format) {
          QString chosen;
          const QString path = QFileDialog::getSaveFileName(
              owner, QStringLiteral("Save traffic"), QStringLiteral("kestrel-traffic.txt"),
              QStringLiteral("Text files (*.txt);;CSV files (*.csv)"), &chosen);
          format = chosen.startsWith(QStringLiteral("CSV")) ||
                           path.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive)
                       ? TrafficFormat::Csv
                       : TrafficFormat::Text;
          return path;
      }) {
    setWindowTitle(QStringLiteral("Traffic"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setModal(false);
    BuildControls();
    m_batchTimer = new QTimer(this);
    connect(m_batchTimer, &QTimer::timeout, this, &TrafficMonitor::TakePending);
    ShowStatus();
}

TrafficMonitor::~TrafficMonitor() {
    m_subscription.reset();  // no link hands anything to a monitor that is going
}

void TrafficMonitor::BuildControls() {
    auto* layout = new QVBoxLayout(this);
    auto* bar = new QHBoxLayout;
    m_timeMode = NewChoice(this, {QStringLiteral("ms since opened"), QStringLiteral("wall clock")},
                           IDC_TRAFFIC_TIME);
    connect(m_timeMode, &QComboBox::currentIndexChanged, this, [this](int index) {
        SetTimeMode(index == 1 ? TrafficTime::WallClock : TrafficTime::SinceOpen);
    });
    auto* timeLabel = new QLabel(QStringLiteral("Time:"), this);
    timeLabel->setBuddy(m_timeMode);
    bar->addWidget(timeLabel);
    bar->addWidget(m_timeMode);
    m_pause = AddButton(QStringLiteral("Pause"), IDC_TRAFFIC_PAUSE);
    connect(m_pause, &QPushButton::clicked, this, [this] { SetPaused(!m_rows.Paused()); });
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
    auto* filters = new QHBoxLayout;
    BuildFilters(filters);
    layout->addLayout(filters);

    m_model = new TrafficViewModel(m_log, m_rows, m_openedAt, this);
    m_view = new QListView(this);
    m_view->setModel(m_model);
    m_view->setUniformItemSizes(true);
    m_view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->setTextElideMode(Qt::ElideRight);  // the tooltip has the whole line
    m_view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    AccessibleAs(m_view, QStringLiteral("Traffic"), IDC_TRAFFIC_LINES);
    auto* copyKey = new QShortcut(QKeySequence::Copy, m_view);
    copyKey->setContext(Qt::WidgetShortcut);
    connect(copyKey, &QShortcut::activated, this, &TrafficMonitor::CopySelection);
    layout->addWidget(m_view, 1);

    m_counters = new QLabel(this);
    m_counters->setAccessibleDescription(QString::number(IDC_TRAFFIC_COUNTERS));
    layout->addWidget(m_counters);
    m_status = new QLabel(this);
    m_status->setAccessibleDescription(QString::number(IDC_TRAFFIC_STATUS));
    layout->addWidget(m_status);
    setMinimumSize(kMinimumWidth, kMinimumHeight);
}

void TrafficMonitor::BuildFilters(QHBoxLayout* bar) {
    m_direction = NewChoice(
        this,
        {QStringLiteral("tx, rx and events"), QStringLiteral("tx only"), QStringLiteral("rx only")},
        IDC_TRAFFIC_DIRECTION);
    QStringList units{QStringLiteral("any unit")};
    for (int unit = 0; unit <= kHighestUnit; ++unit) {
        units << QStringLiteral("unit %1").arg(unit);
    }
    m_unit = NewChoice(this, units, IDC_TRAFFIC_UNIT);
    QStringList functions;
    for (const FunctionChoice& choice : kFunctionChoices) {
        functions << QString::fromUtf8(choice.text);
    }
    m_function = NewChoice(this, functions, IDC_TRAFFIC_FUNCTION);
    m_problems = new QCheckBox(QStringLiteral("Problems only"), this);
    AccessibleAs(m_problems, m_problems->text(), IDC_TRAFFIC_PROBLEMS);
    auto* label = new QLabel(QStringLiteral("Show:"), this);
    label->setBuddy(m_direction);
    bar->addWidget(label);
    for (QComboBox* box : {m_direction, m_unit, m_function}) {
        bar->addWidget(box);
        connect(box, &QComboBox::currentIndexChanged, this, &TrafficMonitor::OnFilterChosen);
    }
    bar->addWidget(m_problems);
    connect(m_problems, &QCheckBox::toggled, this, &TrafficMonitor::OnFilterChosen);
    bar->addStretch();
}

QPushButton* TrafficMonitor::AddButton(const QString& text, int id) {
    auto* button = new QPushButton(text, this);
    button->setAutoDefault(false);
    AccessibleAs(button, text, id);
    return button;
}

// A monitor that opens is shown as any new window is (the window manager gives it the focus);
// one already open is brought to the front.
void TrafficMonitor::ShowBeside(QWidget* panel) {
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    if (panel != nullptr) {
        const QScreen* screen = panel->screen();
        const QRect area = screen != nullptr ? screen->availableGeometry() : QRect();
        const QSize wanted = size().expandedTo(minimumSize());
        const QRect place = area.isEmpty()
                                ? QRect(panel->frameGeometry().topRight() + QPoint(kGap, 0), wanted)
                                : PlaceBeside(panel->frameGeometry(), wanted, area);
        resize(place.size());
        move(place.topLeft());
    }
    show();
}

void TrafficMonitor::showEvent(QShowEvent* event) {
    if (!m_subscription) {
        m_subscription.emplace([this](const TraceEvent& traced) { m_log.Add(traced); });
        m_batchTimer->start(kBatchPeriodMs);
    }
    QDialog::showEvent(event);
}

// A hidden monitor listens to nothing and costs the links nothing; it keeps what it has.
void TrafficMonitor::hideEvent(QHideEvent* event) {
    if (!event->spontaneous()) {
        m_subscription.reset();
        TakePending();
        m_log.ForgetWaitingRequests();
        m_batchTimer->stop();
    }
    QDialog::hideEvent(event);
}

// A bounded share of what waits goes into the history per turn; the rest waits for the next.
void TrafficMonitor::TakePending() {
    m_log.SetWindowAddress(m_windowAddress ? m_windowAddress() : Byte{0});
    m_log.Take(kTakePerPeriod, std::chrono::steady_clock::now());
    const QScrollBar* scroll = m_view->verticalScrollBar();
    const bool atEnd = scroll->value() == scroll->maximum();
    m_model->Update();
    if (atEnd) {
        m_view->scrollToBottom();
    }
    CheckSaver();
    ShowStatus();
}

void TrafficMonitor::SetPaused(bool paused) {
    m_rows.SetPaused(paused);
    m_pause->setText(paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    m_pause->setAccessibleName(m_pause->text());
    if (!paused) {
        m_model->Update();  // what came meanwhile
    }
    ShowStatus();
}

void TrafficMonitor::SetTimeMode(TrafficTime mode) {
    m_model->SetTimeMode(mode);
    if (m_timeMode->currentIndex() != static_cast<int>(mode)) {
        m_timeMode->setCurrentIndex(static_cast<int>(mode));
    }
}

void TrafficMonitor::OnFilterChosen() {
    TrafficFilter filter;
    filter.direction = static_cast<TrafficDirection>(m_direction->currentIndex());
    if (m_unit->currentIndex() > 0) {
        filter.unit = static_cast<Byte>(m_unit->currentIndex() - 1);
    }
    const int function =
        kFunctionChoices.at(static_cast<std::size_t>(m_function->currentIndex())).function;
    if (function >= 0) {
        filter.function = static_cast<Byte>(function);
    }
    filter.problemsOnly = m_problems->isChecked();
    SetFilter(filter);
}

void TrafficMonitor::SetFilter(const TrafficFilter& filter) {
    m_model->Reset([&] { m_rows.SetFilter(filter, m_log); });
    m_view->scrollToBottom();
    ShowStatus();
}

void TrafficMonitor::Clear() {
    m_model->Reset([this] {
        m_log.Clear();
        m_rows.Clear(m_log);
    });
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
    TrafficFormat format = TrafficFormat::Text;
    const QString path = m_askPath(this, format);
    if (!path.isEmpty()) {
        SaveTo(path, format);
    }
}

// The lines are handed to a writer thread; the window only hands over pointers to them.
void TrafficMonitor::SaveTo(const QString& path, TrafficFormat format) {
    TakePending();    // everything traced up to now
    m_saver.reset();  // a save still running gives way, and leaves no file
    m_saver = std::make_unique<TrafficSaver>(
        TrafficSaver::Job{path.toStdString(), format, m_log.Snapshot(), m_model->TimeMode(),
                          m_openedAt, m_log.Forgotten()});
    m_saveOutcome = QStringLiteral("saving to %1").arg(path);
    ShowStatus();
    if (!m_batchTimer->isActive()) {
        m_batchTimer->start(kBatchPeriodMs);  // to see it end
    }
}

void TrafficMonitor::CheckSaver() {
    if (!m_saver || !m_saver->Done()) {
        return;
    }
    const QString path = QString::fromStdString(m_saver->Path());
    const QString error = QString::fromStdString(m_saver->Error());
    const auto written = m_saver->Written();
    m_saver.reset();
    if (!m_subscription) {
        m_batchTimer->stop();
    }
    if (error.isEmpty()) {
        m_saveOutcome = QStringLiteral("%1 lines saved to %2").arg(written).arg(path);
        return;
    }
    m_saveOutcome.clear();
    KestrelMessageBox(this,
                      QStringLiteral("The traffic could not be saved to %1: %2").arg(path, error),
                      MessageIcon::Warning);
}

QStringList TrafficMonitor::HistoryLines() const {
    QStringList lines;
    for (std::uint64_t seq = m_log.FirstSeq(); seq < m_log.EndSeq(); ++seq) {
        lines << QString::fromStdString(
            TrafficLineText(*m_log.BySeq(seq), m_model->TimeMode(), m_openedAt));
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
    QString text =
        QStringLiteral("%1 lines kept (%2 KiB)").arg(m_log.Size()).arg(m_log.HistoryBytes() / 1024);
    if (const std::uint64_t forgotten = m_log.Forgotten(); forgotten > 0) {
        text += QStringLiteral(", %1 older no longer kept").arg(forgotten);
    }
    if (m_rows.Paused()) {
        text += QStringLiteral(", paused: %1 new lines wait").arg(m_rows.Held());
    }
    if (!m_saveOutcome.isEmpty()) {
        text += QStringLiteral("; ") + m_saveOutcome;
    }
    return text;
}

void TrafficMonitor::ShowStatus() {
    const TrafficCounters c = m_log.Counters();
    m_counters->setText(QStringLiteral("sent %1, received %2, no reply %3, exceptions %4, "
                                       "dropped %5 bytes")
                            .arg(c.sent)
                            .arg(c.received)
                            .arg(c.noReply)
                            .arg(c.exceptions)
                            .arg(c.droppedBytes));
    m_counters->setAccessibleName(m_counters->text());
    m_status->setText(StatusText());
    m_status->setAccessibleName(m_status->text());
}
