#include "utility/window_ipc.h"
#include "support/child_process.h"
#include "support/message_pump.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const wchar_t kClass[] = L"{7F0D2C11-ORV-IPC-TEST}";

struct Received {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::wstring text;
    ULONG_PTR dwData;
};

class RecordingHandler : public utility::IWindowIPCHandle {
public:
    LRESULT onHandleWindowIPC(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        Received r{message, wParam, lParam, L"", 0};
        if (message == WM_COPYDATA && lParam) {
            const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            r.text.assign(static_cast<const wchar_t*>(data->lpData), data->cbData / sizeof(wchar_t));
            r.dwData = data->dwData;
        }
        received.push_back(r);
        return 12345;  // the sender gets it
    }
    std::vector<Received> received;
};

// Starts the sender helper and serves this thread's windows until it ends.
DWORD sendFromAnotherProcess(const std::wstring& arguments)
{
    testsupport::ChildProcess sender;
    if (!sender.start(L"\"" + testsupport::programDir() + L"copydata_sender.exe\" " + arguments)) {
        return 0xFFFFFFFF;
    }
    return testsupport::pumpWhileRunning(sender.handle(), 20000);
}

class WindowIpc : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(s_endpoint.create(kClass, &s_handler));
    }
    void SetUp() override { s_handler.received.clear(); }

    static utility::WindowIpcEndpoint s_endpoint;
    static RecordingHandler s_handler;
};

utility::WindowIpcEndpoint WindowIpc::s_endpoint;
RecordingHandler WindowIpc::s_handler;

TEST_F(WindowIpc, WindowIsTopLevelFoundByClassWithEmptyTitleAndNeverVisible)
{
    const HWND found = FindWindowW(kClass, nullptr);
    EXPECT_EQ(found, s_endpoint.window());
    EXPECT_EQ(GetWindowTextLengthW(found), 0);
    EXPECT_FALSE(IsWindowVisible(found));
    EXPECT_EQ(GetAncestor(found, GA_PARENT), GetDesktopWindow());
}

TEST_F(WindowIpc, CopyDataFromAnotherProcessReachesTheHandlerAndTheSenderGetsItsAnswer)
{
    const std::wstring args = std::wstring(L"\"") + kClass + L"\" 4242 \"details=Lobby|state=Waiting\"";
    EXPECT_EQ(sendFromAnotherProcess(args), 12345u);
    ASSERT_EQ(s_handler.received.size(), 1u);
    EXPECT_EQ(s_handler.received[0].message, static_cast<UINT>(WM_COPYDATA));
    EXPECT_EQ(s_handler.received[0].wParam, 4242u);
    EXPECT_NE(s_handler.received[0].lParam, 0);
    EXPECT_EQ(s_handler.received[0].text, L"details=Lobby|state=Waiting");
    EXPECT_EQ(s_handler.received[0].dwData, 0x5A5Au);

    // wParam keeps its full width.
    EXPECT_EQ(sendFromAnotherProcess(std::wstring(L"\"") + kClass + L"\" 18446744073709551615 x"), 12345u);
    ASSERT_EQ(s_handler.received.size(), 2u);
    EXPECT_EQ(s_handler.received[1].wParam, static_cast<WPARAM>(-1));
}

TEST_F(WindowIpc, MessagesAboveWmUserAreForwardedAndTheRestGetTheDefault)
{
    const HWND window = s_endpoint.window();
    EXPECT_EQ(SendMessageW(window, WM_USER + 1, 7, 8), 12345);
    ASSERT_EQ(s_handler.received.size(), 1u);
    EXPECT_EQ(s_handler.received[0].message, static_cast<UINT>(WM_USER + 1));
    EXPECT_EQ(s_handler.received[0].wParam, 7u);
    EXPECT_EQ(s_handler.received[0].lParam, 8);

    EXPECT_EQ(SendMessageW(window, 0xC123, 1, 2), 12345);
    EXPECT_EQ(s_handler.received.size(), 2u);

    EXPECT_EQ(SendMessageW(window, WM_USER, 1, 2), 0);
    EXPECT_EQ(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0), 0);
    SetWindowTextW(window, L"");
    EXPECT_EQ(s_handler.received.size(), 2u) << "WM_USER and lower must not be forwarded";

    EXPECT_EQ(sendFromAnotherProcess(std::wstring(L"\"") + kClass + L"\" 3 --msg 1025"), 12345u);
    ASSERT_EQ(s_handler.received.size(), 3u);
    EXPECT_EQ(s_handler.received[2].message, 1025u);
}

struct FilterCall {
    HWND window;
    UINT message;
    DWORD action;
    PCHANGEFILTERSTRUCT details;
};
std::vector<FilterCall> g_filterCalls;

BOOL WINAPI recordFilterCall(HWND window, UINT message, DWORD action, PCHANGEFILTERSTRUCT details)
{
    g_filterCalls.push_back({window, message, action, details});
    return TRUE;
}

// UIPI, which Wine lacks, would keep every sender that is not elevated from
// an elevated daemon's window: WM_COPYDATA, and nothing else, is let through.
TEST(WindowIpcThroughUipi, TheWindowLetsCopyDataAloneThrough)
{
    utility::WindowIpcCalls calls;
    calls.allowMessage = &recordFilterCall;
    utility::setWindowIpcCallsForTest(calls);
    g_filterCalls.clear();
    utility::WindowIpcEndpoint endpoint;
    RecordingHandler handler;
    const bool created = endpoint.create(L"{7F0D2C11-ORV-IPC-FILTER}", &handler);
    utility::setWindowIpcCallsForTest(utility::WindowIpcCalls());
    ASSERT_TRUE(created);
    ASSERT_EQ(g_filterCalls.size(), 1u);
    EXPECT_EQ(g_filterCalls[0].window, endpoint.window());
    EXPECT_EQ(g_filterCalls[0].message, static_cast<UINT>(WM_COPYDATA));
    EXPECT_EQ(g_filterCalls[0].action, static_cast<DWORD>(MSGFLT_ALLOW));
    EXPECT_EQ(g_filterCalls[0].details, nullptr);
}

LRESULT WINAPI sendBlockedByUipi(HWND, UINT, WPARAM, LPARAM, UINT, UINT, PDWORD_PTR)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

TEST_F(WindowIpc, ASendTellsNoWindowNotTakenAndARefusalBySystemApart)
{
    EXPECT_EQ(utility::sendCopyData(L"{7F0D2C11-ORV-IPC-NOBODY}", 9990, L"x", 1000),
              utility::CopyDataSent::NoWindow);
    // The handler answers 12345, not TRUE.
    EXPECT_EQ(utility::sendCopyData(kClass, 9990, L"x", 1000), utility::CopyDataSent::NotTaken);
    ASSERT_EQ(s_handler.received.size(), 1u);

    utility::WindowIpcCalls calls;
    calls.send = &sendBlockedByUipi;
    utility::setWindowIpcCallsForTest(calls);
    const utility::CopyDataSent sent = utility::sendCopyData(kClass, 9990, L"x", 1000);
    utility::setWindowIpcCallsForTest(utility::WindowIpcCalls());
    EXPECT_EQ(sent, utility::CopyDataSent::RefusedBySystem);
}

TEST(WindowIpcWithoutHandler, AWindowThatCannotBeCreatedIsReported)
{
    utility::WindowIpcEndpoint endpoint;
    RecordingHandler handler;
    // An empty class name is never registered, so no window can be made.
    EXPECT_FALSE(endpoint.create(L"", &handler));
    EXPECT_EQ(endpoint.window(), nullptr);
}

}  // namespace
