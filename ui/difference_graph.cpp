// DifferenceGraph: the palette, the window class, the sample ring and the painting.
#include "ui/difference_graph.h"

#include <algorithm>

namespace {
constexpr COLORREF PaletteColours[4] = {RGB(64, 0, 0), RGB(128, 0, 0), RGB(192, 0, 0),
                                        RGB(255, 0, 0)};
constexpr int CentrePen = 1;
constexpr int TracePen = 3;
constexpr int GridStep = 4;
} // namespace

GraphPalette::GraphPalette() {
    for (int i = 0; i < 4; ++i) {
        brush[i] = CreateSolidBrush(PaletteColours[i]);
    }
    for (int i = 0; i < 4; ++i) {
        pen[i] = CreatePen(PS_SOLID, 1, PaletteColours[i]);
    }
}

GraphPalette graphPalette;

void registerGraphClass(HINSTANCE instance) {
    WNDCLASSW graphClass = {};
    graphClass.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
    graphClass.lpfnWndProc = DifferenceGraph::windowProcedure;
    graphClass.cbClsExtra = 0;
    graphClass.cbWndExtra = 0;
    graphClass.hInstance = instance;
    graphClass.hIcon = nullptr;
    graphClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    graphClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
    graphClass.lpszMenuName = nullptr;
    graphClass.lpszClassName = GraphClassName;
    RegisterClassW(&graphClass);
}

DifferenceGraph::DifferenceGraph(HINSTANCE instance, const GraphPalette* palette)
    : instance(instance), palette(palette) {}

int windowDpi(HWND window) {
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    // Resolved once; through the plain function type, so that the cast says what it does.
    static const auto getDpiForWindow =
        reinterpret_cast<GetDpiForWindowFunction>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow != nullptr && window != nullptr) {
        if (const UINT dpi = getDpiForWindow(window); dpi > 0) {
            return static_cast<int>(dpi);
        }
    }
    HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSX) : 0;
    if (screen != nullptr) {
        ReleaseDC(nullptr, screen);
    }
    return dpi > 0 ? dpi : GraphBaseDpi;
}

void DifferenceGraph::attach(HWND target) {
    SetWindowLongPtrW(target, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    window = target;
    dpi = windowDpi(target);
}

void DifferenceGraph::push(std::int8_t value) {
    samples[writeIndex] = value;
    if (++writeIndex > GraphMaxCount) {
        writeIndex = 0;
    }
    if (++count > GraphMaxCount) {
        count = GraphMaxCount;
    }
}

LRESULT CALLBACK DifferenceGraph::windowProcedure(HWND window, UINT message, WPARAM wParam,
                                                  LPARAM lParam) {
    DifferenceGraph* graph;
    if (message == WM_CREATE) {
        const CREATESTRUCTW* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        graph = static_cast<DifferenceGraph*>(create->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(graph));
    } else {
        graph = reinterpret_cast<DifferenceGraph*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    }
    if (graph != nullptr) {
        return graph->handleMessage(window, message, wParam, lParam);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT DifferenceGraph::handleMessage(HWND target, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        window = target;
        dpi = windowDpi(target);
        return 0;
    case WM_DESTROY:
    case WM_SIZE:
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(target, &ps);
        paint(dc);
        EndPaint(target, &ps);
        return 1;
    }
    default:
        return DefWindowProcW(target, message, wParam, lParam);
    }
}

int DifferenceGraph::scaled(int length) const {
    // Rounded half away from zero, so that a swing scales alike above and below the centre line.
    const int product = length * dpi;
    return (product + (product < 0 ? -GraphBaseDpi / 2 : GraphBaseDpi / 2)) / GraphBaseDpi;
}

HPEN DifferenceGraph::pen(int index, int width) {
    if (width == 1) {
        return palette->pen[index];
    }
    if (widePenWidth != width) {
        wideCentrePen.reset(CreatePen(PS_SOLID, width, PaletteColours[CentrePen]));
        wideTracePen.reset(CreatePen(PS_SOLID, width, PaletteColours[TracePen]));
        widePenWidth = width;
    }
    return (index == CentrePen ? wideCentrePen : wideTracePen).get();
}

void DifferenceGraph::dotGrid(HDC dc, int width, int height, int centre, int step,
                              int dotSize) const {
    // Dotted grid rows every step rows below the centre line, then above it; row 0 and the centre
    // row stay bare. A dot is dotSize pixels square, from its column rightwards and across its row
    // as a line of that width covers the row.
    const int firstRow = -dotSize / 2;
    auto dotRow = [&](int y) {
        for (int x = 0; x < width; x += step) {
            for (int dy = firstRow; dy < firstRow + dotSize; ++dy) {
                for (int dx = 0; dx < dotSize; ++dx) {
                    SetPixel(dc, x + dx, y + dy, GraphGridColour);
                }
            }
        }
    };
    for (int y = centre + step; y < height; y += step) {
        dotRow(y);
    }
    for (int y = centre - step; y > 0; y -= step) {
        dotRow(y);
    }
}

void DifferenceGraph::paint(HDC dc) {
    RECT client;
    GetClientRect(window, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    const int centre = height / 2;
    // At 96 DPI one pixel per sample, per unit of swing and per line width, and a grid step of 4;
    // at other DPIs all of them in proportion.
    const int lineWidth = std::max(1, scaled(1));

    FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));

    const HGDIOBJ previousPen = SelectObject(dc, pen(CentrePen, lineWidth));
    MoveToEx(dc, 0, centre, nullptr);
    LineTo(dc, width, centre);

    dotGrid(dc, width, height, centre, scaled(GridStep), lineWidth);

    // The newest sample sits at the column of count samples until the ring holds a full width,
    // then at the right edge; each older one lies a sample's width further left.
    const int newest = std::min(scaled(count), width - 1);
    SelectObject(dc, pen(TracePen, lineWidth));
    int index = writeIndex == 0 ? GraphMaxCount : writeIndex - 1;
    for (int drawn = 0; drawn < count; ++drawn) {
        const int x = newest - scaled(drawn);
        if (x < 0) {
            break;
        }
        const int y = centre - scaled(samples[index]);
        index = index == 0 ? GraphMaxCount : index - 1;
        if (drawn == 0) {
            MoveToEx(dc, x, y, nullptr);
        } else {
            LineTo(dc, x, y);
        }
    }
    // The palette's pens live as long as the process and may stay selected; this graph's wider
    // ones are deleted with it, so they must not be left in the device context.
    if (lineWidth > 1) {
        SelectObject(dc, previousPen);
    }
}
