// The accessible object of a window's client area: what a screen reader reads from it (role, name,
// value, state, place), how it answers for anything but itself or once its window is gone, and
// the value-change events, one per whole percentage.
#include <windows.h>
#include <oleacc.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/ui/ui_test_support.h"

namespace {

const GUID ACCESSIBLE_IID = {0x618736E0, 0x3C3D, 0x11CF, {0x81, 0x0C, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

VARIANT self()
{
    VARIANT child;
    VariantInit(&child);
    child.vt = VT_I4;
    child.lVal = CHILDID_SELF;
    return child;
}

std::wstring take(BSTR text)
{
    std::wstring out = text ? text : L"";
    SysFreeString(text);
    return out;
}

// The object as a screen reader in this process gets it: WM_GETOBJECT to the window, turned back
// with ObjectFromLresult. Null when the window's answer is 0 (the system could not marshal it).
IAccessible* through_window(HWND hwnd)
{
    LRESULT answer = SendMessageW(hwnd, WM_GETOBJECT, 0, (LPARAM)OBJID_CLIENT);
    if (answer <= 0) {
        return nullptr;
    }
    typedef HRESULT(WINAPI * ObjectFromLresultFn)(LRESULT, REFIID, WPARAM, void**);
    HMODULE oleacc = GetModuleHandleW(L"oleacc.dll");
    auto from_lresult = (ObjectFromLresultFn)(void*)GetProcAddress(oleacc, "ObjectFromLresult");
    IAccessible* object = nullptr;
    if (from_lresult == nullptr || FAILED(from_lresult(answer, ACCESSIBLE_IID, 0, (void**)&object))) {
        return nullptr;
    }
    return object;
}

IAccessible* direct(UiAccessible* object)
{
    IAccessible* accessible = nullptr;
    EXPECT_EQ(ui_accessible_interface(object)->QueryInterface(ACCESSIBLE_IID, (void**)&accessible), S_OK);
    return accessible;
}

struct Event {
    HWND hwnd;
    LONG object;
    LONG child;
};
std::vector<Event> events;

void CALLBACK record_event(HWINEVENTHOOK, DWORD event, HWND hwnd, LONG object, LONG child, DWORD, DWORD)
{
    if (event == EVENT_OBJECT_VALUECHANGE) {
        events.push_back({hwnd, object, child});
    }
}

// Out-of-context events reach the hooking thread as messages.
void pump()
{
    MSG msg;
    for (int round = 0; round < 5; ++round) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(5);
    }
}

// Percentages 0, 1, 1, 2, 2, ... 5 from a thread of its own.
DWORD WINAPI set_percents_from_a_thread(void* object)
{
    for (uint32_t step = 1; step <= 10; ++step) {
        ui_accessible_set_percent((UiAccessible*)object, step / 2);
    }
    return 0;
}

class AccessibleTest : public UiTest {};

}  // namespace

TEST_F(AccessibleTest, ReadsAsAProgressBarNamedByTheWindow)
{
    UiWindow& window = new_window();
    SetWindowTextW(window.hwnd, L"Quorvel Web Installer");
    SetWindowPos(window.hwnd, nullptr, 100, 50, 300, 200, SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    UiAccessible* object = ui_accessible_create(window.hwnd, ROLE_SYSTEM_PROGRESSBAR, STATE_SYSTEM_READONLY, 0);
    ASSERT_NE(object, nullptr);
    window.accessible = object;

    IAccessible* accessible = through_window(window.hwnd);
    if (accessible == nullptr) {
        // Wine 8's LresultFromObject can't marshal an IAccessible of the program's own (E_NOINTERFACE):
        // the window's answer is 0 there, and the object is read directly.
        std::printf("  WM_GETOBJECT gave no object (the system could not marshal it); reading it directly\n");
        accessible = direct(object);
    }
    ASSERT_NE(accessible, nullptr);
    // Other objects of the window are the system's.
    EXPECT_EQ(SendMessageW(window.hwnd, WM_GETOBJECT, 0, (LPARAM)OBJID_WINDOW), 0);

    VARIANT child = self();
    VARIANT out;
    ASSERT_EQ(accessible->get_accRole(child, &out), S_OK);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, ROLE_SYSTEM_PROGRESSBAR);
    ASSERT_EQ(accessible->get_accState(child, &out), S_OK);
    EXPECT_EQ(out.lVal, STATE_SYSTEM_READONLY);
    BSTR text = nullptr;
    ASSERT_EQ(accessible->get_accName(child, &text), S_OK);
    EXPECT_EQ(take(text), L"Quorvel Web Installer");

    struct Value {
        uint32_t percent;
        const wchar_t* text;
    } values[] = {{0, L"0%"}, {7, L"7%"}, {10, L"10%"}, {42, L"42%"}, {100, L"100%"}, {250, L"100%"}};
    for (const Value& value : values) {
        ui_accessible_set_percent(object, value.percent);
        ASSERT_EQ(accessible->get_accValue(child, &text), S_OK);
        EXPECT_EQ(take(text), value.text) << value.percent;
    }

    // The client area, in screen pixels; a point there is the object itself, one outside is not.
    RECT client = {};
    GetClientRect(window.hwnd, &client);
    POINT corner = {0, 0};
    ClientToScreen(window.hwnd, &corner);
    LONG left = 0, top = 0, width = 0, height = 0;
    ASSERT_EQ(accessible->accLocation(&left, &top, &width, &height, child), S_OK);
    EXPECT_EQ(left, corner.x);
    EXPECT_EQ(top, corner.y);
    EXPECT_EQ(width, client.right);
    EXPECT_EQ(height, client.bottom);
    EXPECT_EQ(accessible->accHitTest(corner.x + 1, corner.y + 1, &out), S_OK);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, CHILDID_SELF);
    EXPECT_EQ(accessible->accHitTest(corner.x - 1, corner.y, &out), S_FALSE);
    EXPECT_EQ(out.vt, VT_EMPTY);

    // What it does not have, as MSAA expects it told.
    LONG count = -1;
    EXPECT_EQ(accessible->get_accChildCount(&count), S_OK);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(accessible->get_accDescription(child, &text), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(accessible->get_accDefaultAction(child, &text), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(accessible->accDoDefaultAction(child), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(accessible->put_accValue(child, nullptr), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(accessible->get_accFocus(&out), S_FALSE);
    EXPECT_EQ(accessible->accNavigate(NAVDIR_NEXT, child, &out), S_FALSE);
    UINT type_count = 7;
    EXPECT_EQ(accessible->GetTypeInfoCount(&type_count), E_NOTIMPL);
    EXPECT_EQ(type_count, 0u);
    IDispatch* parent = nullptr;
    HRESULT parent_result = accessible->get_accParent(&parent);
    EXPECT_TRUE(parent_result == S_OK || parent_result == S_FALSE);
    EXPECT_EQ(parent != nullptr, parent_result == S_OK);
    if (parent != nullptr) {
        parent->Release();
    }

    // Anything but the object itself is no child of it.
    VARIANT others[3];
    for (VARIANT& other : others) {
        VariantInit(&other);
    }
    others[1].vt = VT_I4;
    others[1].lVal = 1;
    others[2].vt = VT_BSTR;
    for (VARIANT& other : others) {
        EXPECT_EQ(accessible->get_accRole(other, &out), E_INVALIDARG) << other.vt;
        EXPECT_EQ(accessible->get_accName(other, &text), E_INVALIDARG) << other.vt;
        EXPECT_EQ(text, nullptr);
    }

    // Hidden, it says so; without a title it has no name.
    ShowWindow(window.hwnd, SW_HIDE);
    ASSERT_EQ(accessible->get_accState(child, &out), S_OK);
    EXPECT_EQ(out.lVal, STATE_SYSTEM_READONLY | STATE_SYSTEM_INVISIBLE);
    SetWindowTextW(window.hwnd, L"");
    EXPECT_EQ(accessible->get_accName(child, &text), S_FALSE);
    EXPECT_EQ(text, nullptr);

    // The window going leaves a client's reference to a disconnected object, which the program
    // has let go of.
    window.accessible = nullptr;
    ui_accessible_disconnect(object);
    ui_accessible_release(object);
    EXPECT_EQ(accessible->get_accRole(child, &out), RPC_E_DISCONNECTED);
    EXPECT_EQ(accessible->get_accValue(child, &text), RPC_E_DISCONNECTED);
    LONG ignored = 0;
    EXPECT_EQ(accessible->accLocation(&ignored, &ignored, &ignored, &ignored, child), RPC_E_DISCONNECTED);
    accessible->Release();
}

// One EVENT_OBJECT_VALUECHANGE for the client area each time the whole percentage changes, from
// any thread, and none when it stays or once the window is gone.
TEST_F(AccessibleTest, ValueChangeEventOncePerWholePercentage)
{
    UiWindow& window = new_window();
    UiAccessible* object = ui_accessible_create(window.hwnd, ROLE_SYSTEM_PROGRESSBAR, STATE_SYSTEM_READONLY, 3);
    ASSERT_NE(object, nullptr);
    HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_VALUECHANGE, EVENT_OBJECT_VALUECHANGE, nullptr, record_event,
                                         GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT);
    ASSERT_NE(hook, nullptr);
    struct Row {
        std::vector<uint32_t> percents;
        size_t events;
    } rows[] = {
        {{3, 3, 3}, 0},             // the value it was made with
        {{4, 4, 5, 5, 5, 6}, 3},
        {{6, 90, 90, 100}, 2},
        {{100, 101, 5000}, 0},      // more than all is all
        {{99, 100, 0}, 3},          // a download that starts again
    };
    for (const Row& row : rows) {
        events.clear();
        for (uint32_t percent : row.percents) {
            ui_accessible_set_percent(object, percent);
        }
        pump();
        EXPECT_EQ(events.size(), row.events) << testing::PrintToString(row.percents);
        for (const Event& event : events) {
            EXPECT_EQ(event.hwnd, window.hwnd);
            EXPECT_EQ(event.object, OBJID_CLIENT);
            EXPECT_EQ(event.child, CHILDID_SELF);
        }
    }

    events.clear();
    HANDLE worker = CreateThread(nullptr, 0, set_percents_from_a_thread, object, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
    pump();
    EXPECT_EQ(events.size(), 5u) << "from another thread";

    events.clear();
    ui_accessible_disconnect(object);
    ui_accessible_set_percent(object, 50);
    pump();
    EXPECT_TRUE(events.empty()) << "an event for a window that is gone";
    UnhookWinEvent(hook);
    ui_accessible_release(object);
}
