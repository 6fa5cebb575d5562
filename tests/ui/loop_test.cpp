// The message loop: calls posted to the thread, accelerators found through parents and owners,
// and the end of the loop when a quitting window is destroyed.
#include "tests/ui/ui_test_support.h"

using UiLoopTest = UiTest;

namespace {

std::vector<intptr_t> calls;
bool watchdog_fired = false;

void record_call(void* argument)
{
    calls.push_back((intptr_t)argument);
}

void quit_call(void* argument)
{
    PostQuitMessage(0);
}

void destroy_call(void* argument)
{
    DestroyWindow(((UiWindow*)argument)->hwnd);
}

void CALLBACK watchdog(HWND hwnd, UINT message, UINT_PTR id, DWORD time)
{
    watchdog_fired = true;
    PostQuitMessage(0);
}

void post_call(void (*function)(void*), void* argument)
{
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), UI_MSG_CALL, (WPARAM)function, (LPARAM)argument));
}

// Runs the loop with a safety net: a loop that would never end is ended after two seconds.
void run_loop()
{
    watchdog_fired = false;
    UINT_PTR timer = SetTimer(nullptr, 0, 2000, watchdog);
    ui_message_loop();
    KillTimer(nullptr, timer);
}

} // namespace

TEST_F(UiLoopTest, RunsCallsPostedToTheThreadInOrder)
{
    calls.clear();
    post_call(record_call, (void*)1);
    post_call(nullptr, (void*)2); // no function: skipped, not called
    post_call(record_call, (void*)-3);
    post_call(quit_call, nullptr);
    run_loop();
    EXPECT_FALSE(watchdog_fired);
    EXPECT_EQ(calls, (std::vector<intptr_t>{1, -3}));
}

TEST_F(UiLoopTest, CallPostedToAWindowIsLeftToDefaultProcessing)
{
    UiWindow& window = new_window();
    calls.clear();
    PostMessageW(window.hwnd, UI_MSG_CALL, (WPARAM)record_call, 5);
    SendMessageW(window.hwnd, UI_MSG_CALL, (WPARAM)record_call, 6);
    PostMessageW(window.hwnd, WM_USER, 0, 0); // dispatched as usual
    post_call(quit_call, nullptr);
    run_loop();
    EXPECT_FALSE(watchdog_fired);
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(command_log.commands.empty());
}

TEST_F(UiLoopTest, EndsWhenAQuittingWindowIsDestroyed)
{
    UiWindow& window = new_window();
    window.flags = UI_QUIT_ON_DESTROY;
    UiWindow& other = new_window();
    calls.clear();
    post_call(destroy_call, &other); // no quit flag: the loop goes on
    post_call(record_call, (void*)7);
    post_call(destroy_call, &window);
    run_loop();
    EXPECT_FALSE(watchdog_fired);
    EXPECT_FALSE(IsWindow(window.hwnd));
    EXPECT_EQ(calls, std::vector<intptr_t>{7});
}

TEST_F(UiLoopTest, AcceleratorsApplyThroughParentsAndOwners)
{
    ACCEL keys[] = {{FVIRTKEY, VK_F5, 301}, {FVIRTKEY, 'N', 0}};
    HACCEL table = CreateAcceleratorTableW(keys, 2);
    ASSERT_NE(table, nullptr);

    UiWindow& main = new_window();
    main.accelerators = table;
    UiControl& button = new_control(UI_KIND_BUTTON, main);
    // A popup owned by the toolkit window, itself no toolkit window.
    HWND owned = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, main.hwnd, nullptr, nullptr, nullptr);
    adopt(owned);
    HWND owned_child = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 5, 5, owned, nullptr, nullptr, nullptr);
    // A toolkit window owned by main but with no table of its own: the search stops there.
    UiWindow& dialog = new_window();
    SetWindowLongPtrW(dialog.hwnd, GWLP_HWNDPARENT, (LONG_PTR)main.hwnd);
    UiControl& dialog_button = new_control(UI_KIND_BUTTON, dialog);
    HWND stranger = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    adopt(stranger);

    EXPECT_EQ(ui_accelerator_window(button.hwnd), &main);
    EXPECT_EQ(ui_accelerator_window(owned_child), &main);
    EXPECT_EQ(ui_accelerator_window(dialog_button.hwnd), &dialog);
    EXPECT_EQ(ui_accelerator_window(stranger), nullptr);
    EXPECT_EQ(ui_accelerator_window(nullptr), nullptr);

    struct Case {
        HWND target;
        WPARAM key;
        std::vector<uint32_t> fired;
        std::vector<UiWindow*> at;
    };
    const Case cases[] = {
        {main.hwnd, VK_F5, {301}, {&main}},
        {button.hwnd, VK_F5, {301}, {&main}},
        {owned, VK_F5, {301}, {&main}},
        {owned_child, 'N', {0}, {&main}}, // identifier 0 still reaches on_command
        {button.hwnd, VK_F6, {}, {}},
        {dialog_button.hwnd, VK_F5, {}, {}},
        {stranger, VK_F5, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "key " << c.key);
        take_commands();
        PostMessageW(c.target, WM_KEYDOWN, c.key, 1);
        PostMessageW(c.target, WM_KEYUP, c.key, 0xC0000001);
        post_call(quit_call, nullptr);
        run_loop();
        EXPECT_FALSE(watchdog_fired);
        EXPECT_EQ(command_log.senders, c.at);
        EXPECT_EQ(take_commands(), c.fired);
    }
    DestroyAcceleratorTable(table);
}
