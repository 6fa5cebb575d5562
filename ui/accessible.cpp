// A minimal accessible object (IAccessible) for a window's client area drawn as one element: a
// static table of functions over a plain record. Screen readers find it through WM_GETOBJECT.
#include <windows.h>
#include <oleacc.h>

#include "ui/ui.h"

#include "rt/heap.h"

// IID_IAccessible, {618736E0-3C3D-11CF-810C-00AA00389B71}, spelt out so that no import library of
// oleacc is needed.
static const GUID ACCESSIBLE_IID = {0x618736E0, 0x3C3D, 0x11CF, {0x81, 0x0C, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// The vtable of IAccessible: IUnknown, IDispatch, then IAccessible's own methods, in this order.
struct AccessibleVtable {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(UiAccessible*, REFIID, void**);
    ULONG(STDMETHODCALLTYPE* AddRef)(UiAccessible*);
    ULONG(STDMETHODCALLTYPE* Release)(UiAccessible*);
    HRESULT(STDMETHODCALLTYPE* GetTypeInfoCount)(UiAccessible*, UINT*);
    HRESULT(STDMETHODCALLTYPE* GetTypeInfo)(UiAccessible*, UINT, LCID, ITypeInfo**);
    HRESULT(STDMETHODCALLTYPE* GetIDsOfNames)(UiAccessible*, REFIID, LPOLESTR*, UINT, LCID, DISPID*);
    HRESULT(STDMETHODCALLTYPE* Invoke)(UiAccessible*, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*,
                                       EXCEPINFO*, UINT*);
    HRESULT(STDMETHODCALLTYPE* get_accParent)(UiAccessible*, IDispatch**);
    HRESULT(STDMETHODCALLTYPE* get_accChildCount)(UiAccessible*, LONG*);
    HRESULT(STDMETHODCALLTYPE* get_accChild)(UiAccessible*, VARIANT, IDispatch**);
    HRESULT(STDMETHODCALLTYPE* get_accName)(UiAccessible*, VARIANT, BSTR*);
    HRESULT(STDMETHODCALLTYPE* get_accValue)(UiAccessible*, VARIANT, BSTR*);
    HRESULT(STDMETHODCALLTYPE* get_accDescription)(UiAccessible*, VARIANT, BSTR*);
    HRESULT(STDMETHODCALLTYPE* get_accRole)(UiAccessible*, VARIANT, VARIANT*);
    HRESULT(STDMETHODCALLTYPE* get_accState)(UiAccessible*, VARIANT, VARIANT*);
    HRESULT(STDMETHODCALLTYPE* get_accHelp)(UiAccessible*, VARIANT, BSTR*);
    HRESULT(STDMETHODCALLTYPE* get_accHelpTopic)(UiAccessible*, BSTR*, VARIANT, LONG*);
    HRESULT(STDMETHODCALLTYPE* get_accKeyboardShortcut)(UiAccessible*, VARIANT, BSTR*);
    HRESULT(STDMETHODCALLTYPE* get_accFocus)(UiAccessible*, VARIANT*);
    HRESULT(STDMETHODCALLTYPE* get_accSelection)(UiAccessible*, VARIANT*);
    HRESULT(STDMETHODCALLTYPE* get_accDefaultAction)(UiAccessible*, VARIANT, BSTR*);
    HRESULT(STDMETHODCALLTYPE* accSelect)(UiAccessible*, LONG, VARIANT);
    HRESULT(STDMETHODCALLTYPE* accLocation)(UiAccessible*, LONG*, LONG*, LONG*, LONG*, VARIANT);
    HRESULT(STDMETHODCALLTYPE* accNavigate)(UiAccessible*, LONG, VARIANT, VARIANT*);
    HRESULT(STDMETHODCALLTYPE* accHitTest)(UiAccessible*, LONG, LONG, VARIANT*);
    HRESULT(STDMETHODCALLTYPE* accDoDefaultAction)(UiAccessible*, VARIANT);
    HRESULT(STDMETHODCALLTYPE* put_accName)(UiAccessible*, VARIANT, BSTR);
    HRESULT(STDMETHODCALLTYPE* put_accValue)(UiAccessible*, VARIANT, BSTR);
};

struct UiAccessible {
    const AccessibleVtable* vtable; // first, as COM expects
    volatile LONG references;
    HWND volatile hwnd;             // null once the window is gone
    LONG role;
    LONG state;
    volatile LONG percent;
};

// ---- helpers --------------------------------------------------------------------------------

static bool is_self(const VARIANT* child)
{
    return child->vt == VT_I4 && child->lVal == CHILDID_SELF;
}

static void set_empty(VARIANT* out)
{
    VariantInit(out);
}

static void set_long(VARIANT* out, LONG value)
{
    VariantInit(out);
    out->vt = VT_I4;
    out->lVal = value;
}

// The checks every property of the one element starts with: E_INVALIDARG for anything but the
// element itself (there are no children), RPC_E_DISCONNECTED once the window is gone.
static HRESULT check_self(UiAccessible* object, const VARIANT* child)
{
    if (!is_self(child)) {
        return E_INVALIDARG;
    }
    return object->hwnd != nullptr ? S_OK : RPC_E_DISCONNECTED;
}

// A BSTR of the text, or S_FALSE and null for an empty one.
static HRESULT answer_text(const wchar_t* text, BSTR* out)
{
    if (text[0] == L'\0') {
        return S_FALSE;
    }
    *out = SysAllocString(text);
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

// ---- IUnknown and IDispatch ------------------------------------------------------------------

static HRESULT STDMETHODCALLTYPE query_interface(UiAccessible* object, REFIID iid, void** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IDispatch) || IsEqualGUID(iid, ACCESSIBLE_IID)) {
        InterlockedIncrement(&object->references);
        *out = object;
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

static ULONG STDMETHODCALLTYPE add_ref(UiAccessible* object)
{
    return (ULONG)InterlockedIncrement(&object->references);
}

static ULONG STDMETHODCALLTYPE release(UiAccessible* object)
{
    LONG left = InterlockedDecrement(&object->references);
    if (left == 0) {
        heap_free(object);
    }
    return (ULONG)left;
}

static HRESULT STDMETHODCALLTYPE get_type_info_count(UiAccessible*, UINT* count)
{
    if (count != nullptr) {
        *count = 0;
    }
    return E_NOTIMPL;
}

static HRESULT STDMETHODCALLTYPE get_type_info(UiAccessible*, UINT, LCID, ITypeInfo** info)
{
    if (info != nullptr) {
        *info = nullptr;
    }
    return E_NOTIMPL;
}

static HRESULT STDMETHODCALLTYPE get_ids_of_names(UiAccessible*, REFIID, LPOLESTR*, UINT, LCID, DISPID*)
{
    return E_NOTIMPL;
}

static HRESULT STDMETHODCALLTYPE invoke(UiAccessible*, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*,
                                        EXCEPINFO*, UINT*)
{
    return E_NOTIMPL;
}

// ---- IAccessible ----------------------------------------------------------------------------

// The parent is the window itself, as the system's standard object for it.
static HRESULT STDMETHODCALLTYPE get_parent(UiAccessible* object, IDispatch** parent)
{
    if (parent == nullptr) {
        return E_POINTER;
    }
    *parent = nullptr;
    HWND hwnd = object->hwnd;
    if (hwnd == nullptr) {
        return RPC_E_DISCONNECTED;
    }
    if (FAILED(CreateStdAccessibleObject(hwnd, OBJID_WINDOW, IID_IDispatch, (void**)parent))) {
        *parent = nullptr;
        return S_FALSE;
    }
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE get_child_count(UiAccessible* object, LONG* count)
{
    if (count == nullptr) {
        return E_POINTER;
    }
    *count = 0;
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE get_child(UiAccessible*, VARIANT, IDispatch** child)
{
    if (child != nullptr) {
        *child = nullptr;
    }
    return E_INVALIDARG;
}

static HRESULT STDMETHODCALLTYPE get_name(UiAccessible* object, VARIANT child, BSTR* name)
{
    if (name == nullptr) {
        return E_POINTER;
    }
    *name = nullptr;
    HRESULT result = check_self(object, &child);
    if (result != S_OK) {
        return result;
    }
    wchar_t title[256];
    title[0] = L'\0';
    (void)GetWindowTextW(object->hwnd, title, 256); // a window without title has no name
    return answer_text(title, name);
}

static HRESULT STDMETHODCALLTYPE get_value(UiAccessible* object, VARIANT child, BSTR* value)
{
    if (value == nullptr) {
        return E_POINTER;
    }
    *value = nullptr;
    HRESULT result = check_self(object, &child);
    if (result != S_OK) {
        return result;
    }
    // "N%": at most three digits, the sign and the terminator.
    wchar_t text[8];
    uint32_t percent = (uint32_t)object->percent;
    int32_t length = 0;
    if (percent >= 100) {
        text[length++] = (wchar_t)(L'0' + percent / 100);
    }
    if (percent >= 10) {
        text[length++] = (wchar_t)(L'0' + percent / 10 % 10);
    }
    text[length++] = (wchar_t)(L'0' + percent % 10);
    text[length++] = L'%';
    text[length] = L'\0';
    return answer_text(text, value);
}

// Properties the element does not have.
static HRESULT STDMETHODCALLTYPE no_text(UiAccessible* object, VARIANT child, BSTR* text)
{
    if (text == nullptr) {
        return E_POINTER;
    }
    *text = nullptr;
    HRESULT result = check_self(object, &child);
    return result != S_OK ? result : DISP_E_MEMBERNOTFOUND;
}

static HRESULT STDMETHODCALLTYPE get_role(UiAccessible* object, VARIANT child, VARIANT* role)
{
    if (role == nullptr) {
        return E_POINTER;
    }
    set_empty(role);
    HRESULT result = check_self(object, &child);
    if (result == S_OK) {
        set_long(role, object->role);
    }
    return result;
}

static HRESULT STDMETHODCALLTYPE get_state(UiAccessible* object, VARIANT child, VARIANT* state)
{
    if (state == nullptr) {
        return E_POINTER;
    }
    set_empty(state);
    HRESULT result = check_self(object, &child);
    if (result == S_OK) {
        LONG value = object->state;
        if (!IsWindowVisible(object->hwnd)) {
            value |= STATE_SYSTEM_INVISIBLE;
        }
        set_long(state, value);
    }
    return result;
}

static HRESULT STDMETHODCALLTYPE get_help_topic(UiAccessible* object, BSTR* file, VARIANT child, LONG* topic)
{
    if (file != nullptr) {
        *file = nullptr;
    }
    if (topic != nullptr) {
        *topic = 0;
    }
    HRESULT result = check_self(object, &child);
    return result != S_OK ? result : DISP_E_MEMBERNOTFOUND;
}

// Neither the focus nor a selection is ever inside the element: it has no children.
static HRESULT STDMETHODCALLTYPE nothing_inside(UiAccessible* object, VARIANT* out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    set_empty(out);
    return object->hwnd != nullptr ? S_FALSE : RPC_E_DISCONNECTED;
}

static HRESULT STDMETHODCALLTYPE no_select(UiAccessible* object, LONG, VARIANT child)
{
    HRESULT result = check_self(object, &child);
    return result != S_OK ? result : DISP_E_MEMBERNOTFOUND;
}

// The client area in screen pixels.
static HRESULT STDMETHODCALLTYPE location(UiAccessible* object, LONG* left, LONG* top, LONG* width,
                                          LONG* height, VARIANT child)
{
    if (left == nullptr || top == nullptr || width == nullptr || height == nullptr) {
        return E_POINTER;
    }
    *left = *top = *width = *height = 0;
    HRESULT result = check_self(object, &child);
    if (result != S_OK) {
        return result;
    }
    RECT client = {};
    POINT corner = {0, 0};
    if (!GetClientRect(object->hwnd, &client) || !ClientToScreen(object->hwnd, &corner)) {
        return RPC_E_DISCONNECTED; // the window went in between
    }
    *left = corner.x;
    *top = corner.y;
    *width = client.right;
    *height = client.bottom;
    return S_OK;
}

// No siblings or children to go to.
static HRESULT STDMETHODCALLTYPE navigate(UiAccessible* object, LONG, VARIANT start, VARIANT* end)
{
    if (end == nullptr) {
        return E_POINTER;
    }
    set_empty(end);
    HRESULT result = check_self(object, &start);
    return result != S_OK ? result : S_FALSE;
}

static HRESULT STDMETHODCALLTYPE hit_test(UiAccessible* object, LONG x, LONG y, VARIANT* hit)
{
    if (hit == nullptr) {
        return E_POINTER;
    }
    set_empty(hit);
    HWND hwnd = object->hwnd;
    if (hwnd == nullptr) {
        return RPC_E_DISCONNECTED;
    }
    POINT point = {x, y};
    RECT client = {};
    if (!ScreenToClient(hwnd, &point) || !GetClientRect(hwnd, &client) || !PtInRect(&client, point)) {
        return S_FALSE;
    }
    set_long(hit, CHILDID_SELF);
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE no_action(UiAccessible* object, VARIANT child)
{
    HRESULT result = check_self(object, &child);
    return result != S_OK ? result : DISP_E_MEMBERNOTFOUND;
}

// The name is the window's title and the value is the program's to set.
static HRESULT STDMETHODCALLTYPE read_only(UiAccessible* object, VARIANT child, BSTR)
{
    HRESULT result = check_self(object, &child);
    return result != S_OK ? result : DISP_E_MEMBERNOTFOUND;
}

static const AccessibleVtable ACCESSIBLE_VTABLE = {
    query_interface, add_ref,  release,     get_type_info_count, get_type_info, get_ids_of_names,
    invoke,          get_parent, get_child_count, get_child,     get_name,      get_value,
    no_text,         get_role, get_state,   no_text,             get_help_topic, no_text,
    nothing_inside,  nothing_inside, no_text, no_select,        location,      navigate,
    hit_test,        no_action, read_only,  read_only,
};

// ---- the program's side ---------------------------------------------------------------------

UiAccessible* ui_accessible_create(HWND hwnd, LONG role, LONG state, uint32_t percent)
{
    UiAccessible* object = (UiAccessible*)heap_alloc_zeroed(sizeof(UiAccessible));
    if (object == nullptr) {
        return nullptr;
    }
    object->vtable = &ACCESSIBLE_VTABLE;
    object->references = 1;
    object->hwnd = hwnd;
    object->role = role;
    object->state = state;
    object->percent = (LONG)(percent > 100 ? 100 : percent);
    return object;
}

void ui_accessible_release(UiAccessible* object)
{
    if (object != nullptr) {
        (void)release(object);
    }
}

void ui_accessible_set_percent(UiAccessible* object, uint32_t percent)
{
    LONG value = (LONG)(percent > 100 ? 100 : percent);
    if (InterlockedExchange(&object->percent, value) == value) {
        return; // the same whole percentage: nothing new for a screen reader to say
    }
    HWND hwnd = object->hwnd;
    if (hwnd != nullptr) {
        NotifyWinEvent(EVENT_OBJECT_VALUECHANGE, hwnd, OBJID_CLIENT, CHILDID_SELF);
    }
}

void ui_accessible_disconnect(UiAccessible* object)
{
    object->hwnd = nullptr;
}

LRESULT ui_accessible_answer(UiAccessible* object, WPARAM wparam)
{
    if (object->hwnd == nullptr) {
        return 0;
    }
    LRESULT answer = LresultFromObject(ACCESSIBLE_IID, wparam, (IUnknown*)object);
    return answer > 0 ? answer : 0; // a failure (a negative HRESULT) leaves the standard object
}

IUnknown* ui_accessible_interface(UiAccessible* object)
{
    return (IUnknown*)object;
}
