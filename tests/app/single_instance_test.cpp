// One installer per session: what a second copy does with whatever holds the name.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>

#include "app/installer.h"
#include "app/single_instance.h"
#include "rt/security.h"
#include "tests/helpers/impostor_client.h"
#include "tests/rt/rt_test_support.h"
#include "ui/ui.h"

// With the name held, a second copy hands over (0, at once) only to a window of the installer's
// class and title whose process could be the installer: when it runs elevated, a look-alike of an
// unelevated program of the same user does not count, even in front of the real window. Without
// one it ends with 1 after its bounded wait, not in success.
TEST(SingleInstance, HandsOverOnlyToTheInstallersWindow)
{
    HANDLE first = nullptr, second = (HANDLE)1;
    ASSERT_EQ(single_instance_claim(&first), 0);
    ASSERT_EQ(single_instance_claim(&second), 1) << "the name is held: the second copy must see it";
    EXPECT_EQ(second, nullptr);
    ASSERT_EQ(ui_register_class(), 0);
    const std::wstring look_alike = std::wstring(L" --window ") + UI_WINDOW_CLASS + L" \"" + INSTALLER_TITLE_WIDE + L"\"";
    const DWORD wait_ms = 600;
    struct Row {
        const wchar_t* own_title; // a window of this process (null: none)
        const wchar_t* impostor;  // a look-alike's arguments (null: none)
        int result;
    } rows[] = {
        {nullptr, nullptr, 1}, {INSTALLER_TITLE_WIDE, nullptr, 0}, {L"Another program", nullptr, 1},
        {nullptr, L"--unelevated", 1}, {INSTALLER_TITLE_WIDE, L"--unelevated", 0},
        {nullptr, L"", 0}, // an elevated look-alike: only the user's consent starts one
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << (row.own_title ? "own window, " : "") << "impostor "
                                        << (row.impostor ? rt_test::narrow(row.impostor) : "none"));
        if (row.impostor && (impostor::program().empty() || !process_is_elevated())) {
            continue; // needs the helper, and an elevated test to tell look-alikes apart
        }
        HWND own = row.own_title ? CreateWindowExW(0, UI_WINDOW_CLASS, row.own_title, WS_POPUP, 0, 0, 10, 10, nullptr,
                                                   nullptr, GetModuleHandleW(nullptr), nullptr)
                                 : nullptr;
        std::unique_ptr<impostor::Running> other(row.impostor ? new impostor::Running(row.impostor + look_alike) : nullptr);
        ASSERT_TRUE(!other || other->ok()) << other->error();
        DWORD started = GetTickCount();
        EXPECT_EQ(single_instance_hand_over(wait_ms), row.result);
        DWORD took = GetTickCount() - started;
        EXPECT_LT(took, row.result == 0 ? 300 : wait_ms + 1000) << "the wait is bounded";
        if (row.result != 0) {
            EXPECT_GE(took, wait_ms) << "it gave up before its wait";
        }
        if (own) {
            DestroyWindow(own);
        }
    }
    single_instance_release(first);
    ui_unregister_class();
    EXPECT_EQ(single_instance_claim(&first), 0) << "a released name is free for the next installer";
    single_instance_release(first);
}
