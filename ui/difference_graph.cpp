// DifferenceGraph: the palette, the window class, the sample ring and the painting.
#include "ui/difference_graph.h"

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

void DifferenceGraph::attach(HWND target) {
    SetWindowLongPtrW(target, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    window = target;
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

void DifferenceGraph::paint(HDC dc) {
    RECT client;
    GetClientRect(window, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    const int centre = height / 2;

    FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));

    SelectObject(dc, palette->pen[CentrePen]);
    MoveToEx(dc, 0, centre, nullptr);
    LineTo(dc, width, centre);

    // Dotted grid rows every fourth row below the centre line, then above it; row 0 and the
    // centre row stay bare.
    auto dotRow = [&](int y) {
        for (int x = 0; x < width; x += GridStep) {
            SetPixel(dc, x, y, GraphGridColour);
        }
    };
    for (int y = centre + GridStep; y < height; y += GridStep) {
        dotRow(y);
    }
    for (int y = centre - GridStep; y > 0; y -= GridStep) {
        dotRow(y);
    }

    // The newest sample sits at column count until the ring holds a full width, then at the right
    // edge; each older one lies a pixel further left.
    int x = count >= width ? width - 1 : count;
    SelectObject(dc, palette->pen[TracePen]);
    int index = writeIndex == 0 ? GraphMaxCount : writeIndex - 1;
    for (int drawn = 0; x >= 0 && drawn < count; ++drawn, --x) {
        const int y = centre - samples[index];
        index = index == 0 ? GraphMaxCount : index - 1;
        if (drawn == 0) {
            MoveToEx(dc, x, y, nullptr);
        } else {
            LineTo(dc, x, y);
        }
    }
}
