#include "win_event_port.h"

#include <winsock2.h>
// winsock2.h before windows.h
#include <windows.h>

#include <algorithm>
#include <optional>
#include <utility>

namespace {

constexpr UINT kPostedMessage = WM_APP + 0x100;
constexpr UINT kQuitMessage = WM_APP + 0x101;
constexpr UINT kSocketMessage = WM_APP + 0x102;
constexpr UINT_PTR kTimerId = 1;
// Messages one pass handles at most, so a call that posts another cannot keep a pass going.
constexpr int kMessagesPerPass = 256;
constexpr wchar_t kWindowClass[] = L"KestrelEventPort";

using Milliseconds = std::chrono::milliseconds;

}  // namespace

using Key = std::pair<EventPort::Clock::time_point, std::uint64_t>;

struct Win32EventPort::Schedule {
    HWND window = nullptr;
    std::map<Key, std::function<void()>> due;
    std::uint64_t nextId = 1;

    // The WM_TIMER that wakes whatever pumps the queue when the earliest timer is due. It only
    // wakes: the timers themselves run when the steady clock says so.
    void Arm() const {
        if (window == nullptr || due.empty()) {
            return;
        }
        const auto wait = std::chrono::ceil<Milliseconds>(due.begin()->first.first - Clock::now());
        ::SetTimer(window, kTimerId,
                   static_cast<UINT>(std::max<Milliseconds::rep>(wait.count(), 1)), nullptr);
    }
};

class Win32Timer final : public Timer {
  public:
    explicit Win32Timer(std::weak_ptr<Win32EventPort::Schedule> schedule)
        : m_schedule(std::move(schedule)) {}
    ~Win32Timer() override { Stop(); }
    Win32Timer(const Win32Timer&) = delete;
    Win32Timer& operator=(const Win32Timer&) = delete;

    void Start(Milliseconds after, std::function<void()> fn) override {
        Stop();
        const auto schedule = m_schedule.lock();
        if (!schedule) {
            return;
        }
        m_key = Key{EventPort::Clock::now() + after, schedule->nextId++};
        schedule->due.emplace(*m_key, std::move(fn));
        schedule->Arm();
    }

    void Stop() override {
        if (const auto schedule = m_schedule.lock(); schedule && m_key) {
            schedule->due.erase(*m_key);
        }
        m_key.reset();
    }

    bool Active() const override {
        const auto schedule = m_schedule.lock();
        return schedule && m_key && schedule->due.contains(*m_key);
    }

  private:
    std::weak_ptr<Win32EventPort::Schedule> m_schedule;
    std::optional<Key> m_key;
};

struct Win32EventPortProc {
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* port = reinterpret_cast<Win32EventPort*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        if (port == nullptr) {
            return ::DefWindowProcW(window, message, wParam, lParam);
        }
        switch (message) {
            case kPostedMessage:
                port->RunPosted();
                return 0;
            case WM_TIMER:
                ::KillTimer(window, kTimerId);
                port->RunDueTimers();
                return 0;
            case kSocketMessage:
                port->OnSocketNotice(static_cast<std::uintptr_t>(wParam), WSAGETSELECTEVENT(lParam),
                                     WSAGETSELECTERROR(lParam));
                return 0;
            case kQuitMessage:
                return 0;  // only wakes the loop, which then sees m_quit
            default:
                return ::DefWindowProcW(window, message, wParam, lParam);
        }
    }
};

Win32EventPort::Win32EventPort() : m_schedule(std::make_shared<Schedule>()) {
    static const ATOM windowClass = [] {
        WNDCLASSEXW description{};
        description.cbSize = sizeof description;
        description.lpfnWndProc = &Win32EventPortProc::Proc;
        description.hInstance = ::GetModuleHandleW(nullptr);
        description.lpszClassName = kWindowClass;
        return ::RegisterClassExW(&description);
    }();
    if (windowClass == 0) {
        return;
    }
    m_window = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 ::GetModuleHandleW(nullptr), nullptr);
    if (m_window != nullptr) {
        ::SetWindowLongPtrW(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        m_schedule->window = m_window;
    }
}

Win32EventPort::~Win32EventPort() {
    m_schedule->window = nullptr;
    if (m_window != nullptr) {
        ::SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
        ::DestroyWindow(m_window);
    }
}

std::unique_ptr<Timer> Win32EventPort::MakeTimer() {
    return std::make_unique<Win32Timer>(m_schedule);
}

void Win32EventPort::Post(std::function<void()> fn) {
    bool wake = false;
    {
        const std::lock_guard lock(m_postMutex);
        m_posted.push_back(std::move(fn));
        wake = !std::exchange(m_wakePosted, true);
    }
    if (wake) {
        ::PostMessageW(m_window, kPostedMessage, 0, 0);
    }
}

unsigned Win32EventPort::SocketMessage() {
    return kSocketMessage;
}

void Win32EventPort::WatchSocket(std::uintptr_t socket, SocketHandler handler) {
    m_sockets[socket] = std::make_shared<SocketHandler>(std::move(handler));
}

void Win32EventPort::ForgetSocket(std::uintptr_t socket) {
    m_sockets.erase(socket);
}

void Win32EventPort::OnSocketNotice(std::uintptr_t socket, long event, int error) {
    const auto found = m_sockets.find(socket);
    if (found == m_sockets.end()) {
        return;  // a notice still queued for a socket closed since
    }
    const auto handler = found->second;  // the handler may forget its socket while it runs
    (*handler)(event, error);
}

void Win32EventPort::RunPosted() {
    std::deque<std::function<void()>> batch;
    {
        const std::lock_guard lock(m_postMutex);
        batch.swap(m_posted);
        m_wakePosted = false;
    }
    for (auto& fn : batch) {
        fn();
    }
}

// The timers due when the pass began, earliest first; a timer started by one of them waits
// for the next pass even when it is due at once.
std::size_t Win32EventPort::RunDueTimers() {
    const auto now = Clock::now();
    const auto schedule = m_schedule;  // a timer's call may destroy this port
    const std::uint64_t startedBefore = schedule->nextId;
    std::size_t ran = 0;
    while (!schedule->due.empty()) {
        const auto first = schedule->due.begin();
        if (first->first.first > now || first->first.second >= startedBefore) {
            break;
        }
        auto fn = std::move(first->second);
        schedule->due.erase(first);
        fn();
        ++ran;
    }
    schedule->Arm();
    return ran;
}

bool Win32EventPort::PumpMessages() {
    MSG message{};
    int handled = 0;
    while (handled < kMessagesPerPass && ::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // Meant for an outer loop: this one ends and leaves it there.
            ::PostQuitMessage(static_cast<int>(message.wParam));
            m_quit = true;
            break;
        }
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
        ++handled;
    }
    return handled > 0;
}

unsigned long Win32EventPort::MillisecondsToNextTimer(Milliseconds cap) const {
    auto wait = cap;
    if (!m_schedule->due.empty()) {
        wait = std::min(wait, std::chrono::ceil<Milliseconds>(m_schedule->due.begin()->first.first -
                                                              Clock::now()));
    }
    if (wait.count() >= static_cast<Milliseconds::rep>(INFINITE)) {
        return INFINITE;
    }
    return static_cast<unsigned long>(std::max<Milliseconds::rep>(wait.count(), 0));
}

bool Win32EventPort::RunOnce(Milliseconds within) {
    bool ran = RunDueTimers() > 0;
    if (!ran) {
        ::MsgWaitForMultipleObjectsEx(0, nullptr, MillisecondsToNextTimer(within), QS_ALLINPUT,
                                      MWMO_INPUTAVAILABLE);
    }
    ran = PumpMessages() || ran;
    return RunDueTimers() > 0 || ran;
}

void Win32EventPort::Run() {
    m_quit = false;
    m_running = true;
    while (!m_quit) {
        RunOnce(Milliseconds(INFINITE));
    }
    m_running = false;
}

void Win32EventPort::Quit() {
    if (m_running) {
        m_quit = true;
        ::PostMessageW(m_window, kQuitMessage, 0, 0);
    }
}
