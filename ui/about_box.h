// The About box, and the program's icon at the sizes the system asks for.
#pragma once

#include <memory>
#include <type_traits>

#include <windows.h>

struct IconDeleter {
    void operator()(HICON icon) const { DestroyIcon(icon); }
};
using UniqueIcon = std::unique_ptr<std::remove_pointer_t<HICON>, IconDeleter>;

// The program's icon at the size of a system metric (SM_CXICON or SM_CXSMICON) at a window's DPI,
// scaled down from the nearest larger image rather than stretched from a smaller one.
UniqueIcon loadProgramIcon(HINSTANCE instance, int sizeMetric, int dpi);
// Gives window the program's icon at both sizes for its DPI; big and small keep the icons, and the
// ones they held go once the window has the new ones.
void setProgramIcons(HWND window, HINSTANCE instance, int dpi, UniqueIcon& big, UniqueIcon& small);

// Shows the modal About box, owned by owner, and returns when it is closed. While one is open,
// a second call only brings it to the front.
void showAboutBox(HINSTANCE instance, HWND owner);
// Closes the About box if one is open; its showAboutBox call then returns.
void closeAboutBox();
