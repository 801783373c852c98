// GoogleTest's thread-start signal on a Win32 event: mingw's win32 thread model has no std::mutex.
#ifndef E2E_GTEST_NOTIFICATION_H
#define E2E_GTEST_NOTIFICATION_H

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

namespace testing {
namespace internal {

// Only GoogleTest's own thread helper uses it; the driver runs every case on one thread.
class Notification {
public:
    Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

}  // namespace internal
}  // namespace testing

#endif
