// The About box, and the program's icon at the sizes the system asks for.
#pragma once

#include <memory>
#include <type_traits>

#include <windows.h>

struct IconDeleter {
    void operator()(HICON icon) const { DestroyIcon(icon); }
};
using UniqueIcon = std::unique_ptr<std::remove_pointer_t<HICON>, IconDeleter>;

// The program's icon at the size of a system metric (SM_CXICON or SM_CXSMICON), picked from the
// icon's images for the display's DPI rather than stretched from another size.
UniqueIcon loadProgramIcon(HINSTANCE instance, int sizeMetric);

// Shows the modal About box, owned by owner, and returns when it is closed. While one is open,
// a second call only brings it to the front.
void showAboutBox(HINSTANCE instance, HWND owner);
// Closes the About box if one is open; its showAboutBox call then returns.
void closeAboutBox();
