// Tests of the strip chart: the sample ring, and its painting read back pixel by pixel.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "ui/difference_graph.h"

namespace {

constexpr COLORREF Black = RGB(0, 0, 0);
constexpr COLORREF CentreRed = RGB(128, 0, 0);
constexpr COLORREF GridRed = RGB(96, 0, 0);
constexpr COLORREF TraceRed = RGB(255, 0, 0);
constexpr COLORREF Untouched = RGB(1, 2, 3);

// A memory device context over a top-down 32-bit DIB section, filled with a colour the paint
// never uses, so that every pixel the paint leaves alone can be told apart.
class Canvas {
public:
    Canvas(int width, int height) : width(width), height(height) {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        dc = CreateCompatibleDC(nullptr);
        void* bits = nullptr;
        bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        pixels = static_cast<DWORD*>(bits);
        previous = SelectObject(dc, bitmap);
        for (int i = 0; i < width * height; ++i) {
            pixels[i] = 0x010203; // Untouched, as 0x00RRGGBB
        }
    }
    ~Canvas() {
        SelectObject(dc, previous);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    COLORREF at(int x, int y) const {
        GdiFlush();
        const DWORD value = pixels[y * width + x];
        return RGB((value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF);
    }

    const int width;
    const int height;
    HDC dc;

private:
    HBITMAP bitmap;
    HGDIOBJ previous;
    DWORD* pixels;
};

// A hidden borderless control window, so that its client area is exactly width x height.
class GraphWindow {
public:
    GraphWindow(int width, int height, DWORD style = WS_POPUP) {
        registerGraphClass(GetModuleHandleW(nullptr));
        handle = CreateWindowExW(0, GraphClassName, L"", style, 0, 0, width, height, nullptr,
                                 nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    ~GraphWindow() { DestroyWindow(handle); }
    HWND handle;
};

struct Size {
    int width;
    int height;
};

// What an empty chart looks like: black, the centre line in red 128 and the grid dots in red 96
// on the listed rows, every fourth column from 0.
COLORREF emptyChartPixel(int x, int y, int centre, const std::vector<int>& gridRows) {
    if (y == centre) {
        return CentreRed;
    }
    for (int row : gridRows) {
        if (y == row && x % 4 == 0) {
            return GridRed;
        }
    }
    return Black;
}

void expectEmptyChart(const Canvas& canvas, int centre, const std::vector<int>& gridRows) {
    int wrong = 0;
    for (int y = 0; y < canvas.height; ++y) {
        for (int x = 0; x < canvas.width; ++x) {
            if (canvas.at(x, y) != emptyChartPixel(x, y, centre, gridRows) && ++wrong <= 5) {
                ADD_FAILURE() << "pixel (" << x << ", " << y << ") is 0x" << std::hex
                              << canvas.at(x, y);
            }
        }
    }
    EXPECT_EQ(wrong, 0);
}

// The pixels in the trace colour, as (x, y) pairs in reading order.
std::vector<std::pair<int, int>> tracePixels(const Canvas& canvas) {
    std::vector<std::pair<int, int>> found;
    for (int y = 0; y < canvas.height; ++y) {
        for (int x = 0; x < canvas.width; ++x) {
            if (canvas.at(x, y) == TraceRed) {
                found.emplace_back(x, y);
            }
        }
    }
    return found;
}

TEST(DifferenceGraph, ClassIsRegisteredAsTheChartNeedsIt) {
    registerGraphClass(GetModuleHandleW(nullptr));
    WNDCLASSW info = {};
    ASSERT_TRUE(GetClassInfoW(GetModuleHandleW(nullptr), GraphClassName, &info));
    EXPECT_EQ(info.style, UINT(CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS));
    EXPECT_EQ(info.lpfnWndProc, &DifferenceGraph::windowProcedure);
    EXPECT_EQ(info.cbClsExtra, 0);
    EXPECT_EQ(info.cbWndExtra, 0);
    EXPECT_EQ(info.hbrBackground, GetStockObject(NULL_BRUSH));
    EXPECT_EQ(info.hCursor, LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW)));
}

TEST(DifferenceGraph, CreationParameterBindsTheWindow) {
    registerGraphClass(GetModuleHandleW(nullptr));
    DifferenceGraph graph(GetModuleHandleW(nullptr), &graphPalette);
    HWND window = CreateWindowExW(0, GraphClassName, L"", WS_POPUP, 0, 0, 50, 20, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), &graph);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(graph.window, window);
    EXPECT_EQ(GetWindowLongPtrW(window, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(&graph));
    DestroyWindow(window);
}

TEST(DifferenceGraph, RingStopsCountingOneShortOfItsSize) {
    DifferenceGraph graph(GetModuleHandleW(nullptr), &graphPalette);
    EXPECT_EQ(graph.count, 0);
    EXPECT_EQ(graph.writeIndex, 0);
    for (int i = 0; i < GraphSlots - 1; ++i) {
        graph.push(static_cast<std::int8_t>(i % 8 - 4));
    }
    EXPECT_EQ(graph.count, 2559);
    EXPECT_EQ(graph.writeIndex, 2559);
    graph.push(1);
    EXPECT_EQ(graph.count, 2559);
    EXPECT_EQ(graph.writeIndex, 0);
    EXPECT_EQ(graph.samples[2559], 1);
    graph.push(2);
    graph.push(3);
    EXPECT_EQ(graph.count, 2559);
    EXPECT_EQ(graph.writeIndex, 2);
    EXPECT_EQ(graph.samples[0], 2);
    EXPECT_EQ(graph.samples[1], 3);
}

TEST(DifferenceGraph, NewGraphShowsBackgroundCentreLineAndGridOnly) {
    // Height 40: centre 20, dots 4 rows apart both ways, never on row 0 or the centre row;
    // height 41 keeps the centre and gains row 40.
    const std::vector<int> rows40 = {4, 8, 12, 16, 24, 28, 32, 36};
    std::vector<int> rows41 = rows40;
    rows41.push_back(40);
    for (const auto& [size, rows] :
         {std::make_pair(Size{100, 40}, rows40), std::make_pair(Size{37, 41}, rows41)}) {
        SCOPED_TRACE(size.height);
        GraphWindow control(size.width, size.height);
        DifferenceGraph graph(GetModuleHandleW(nullptr), &graphPalette);
        graph.attach(control.handle);
        EXPECT_EQ(graph.window, control.handle);
        Canvas canvas(size.width, size.height);
        graph.paint(canvas.dc);
        expectEmptyChart(canvas, 20, rows);
    }
}

TEST(DifferenceGraph, SingleSampleDrawsNoTrace) {
    GraphWindow control(100, 40);
    DifferenceGraph graph(GetModuleHandleW(nullptr), &graphPalette);
    graph.attach(control.handle);
    graph.push(3);
    Canvas canvas(100, 40);
    graph.paint(canvas.dc);
    expectEmptyChart(canvas, 20, {4, 8, 12, 16, 24, 28, 32, 36});
}

TEST(DifferenceGraph, TraceRunsFromTheNewestSampleLeftwards) {
    // +3 then 0: the newest (0) at column 2 on the centre line, the older (+3) at column 1 three
    // pixels above it; the line between them stops short of its end point.
    GraphWindow control(100, 40);
    DifferenceGraph graph(GetModuleHandleW(nullptr), &graphPalette);
    graph.attach(control.handle);
    graph.push(3);
    graph.push(0);
    Canvas canvas(100, 40);
    graph.paint(canvas.dc);
    const auto trace = tracePixels(canvas);
    ASSERT_EQ(trace.size(), 3u);
    EXPECT_EQ(canvas.at(2, 20), TraceRed);
    EXPECT_EQ(canvas.at(1, 18), TraceRed);
    for (const auto& [x, y] : trace) {
        EXPECT_TRUE(x >= 1 && x <= 2 && y >= 18 && y <= 20) << x << ", " << y;
    }
    EXPECT_NE(canvas.at(1, 17), TraceRed);
    EXPECT_EQ(canvas.at(3, 20), CentreRed);
}

TEST(DifferenceGraph, LowestSampleLiesOnTheFirstGridRowBelowTheCentre) {
    GraphWindow control(100, 40);
    DifferenceGraph graph(GetModuleHandleW(nullptr), &graphPalette);
    graph.attach(control.handle);
    for (int i = 0; i < 3; ++i) {
        graph.push(-4);
    }
    Canvas canvas(100, 40);
    graph.paint(canvas.dc);
    const std::vector<std::pair<int, int>> expected = {{2, 24}, {3, 24}};
    EXPECT_EQ(tracePixels(canvas), expected);
    EXPECT_EQ(canvas.at(4, 24), GridRed);
}

TEST(DifferenceGraph, AFullWidthOfSamplesEndsAtTheRightEdge) {
    // Exactly as many samples as columns, and a ring that has wrapped: either way the newest
    // sample (+3) sits at the right edge, three above the centre, and the older ones (0) run along
    // the centre line to the oldest drawn one at column 0 (the line's end point, left out).
    for (int pushes : {100, GraphSlots + 10}) {
        SCOPED_TRACE(pushes);
        GraphWindow control(100, 40);
        DifferenceGraph graph(GetModuleHandleW(nullptr), &graphPalette);
        graph.attach(control.handle);
        for (int i = 1; i < pushes; ++i) {
            graph.push(0);
        }
        graph.push(3);
        EXPECT_EQ(graph.count, std::min(pushes, 2559));
        Canvas canvas(100, 40);
        graph.paint(canvas.dc);
        EXPECT_EQ(canvas.at(99, 17), TraceRed);
        for (int x = 1; x <= 97; ++x) {
            EXPECT_EQ(canvas.at(x, 20), TraceRed) << x;
        }
        for (int y = 0; y < 40; ++y) {
            for (int x = 0; x < 100; ++x) {
                if (canvas.at(x, y) == TraceRed) {
                    EXPECT_TRUE(y == 20 || x >= 98) << x << ", " << y;
                }
            }
        }
    }
}

TEST(DifferenceGraph, ZeroWidthClientAreaGetsNothing) {
    GraphWindow control(0, 40);
    DifferenceGraph graph(GetModuleHandleW(nullptr), &graphPalette);
    graph.attach(control.handle);
    RECT client;
    GetClientRect(control.handle, &client);
    ASSERT_EQ(client.right, 0);
    for (int i = 0; i < 5; ++i) {
        graph.push(3);
    }
    Canvas canvas(8, 40);
    graph.paint(canvas.dc);
    for (int y = 0; y < 40; ++y) {
        for (int x = 0; x < 8; ++x) {
            ASSERT_EQ(canvas.at(x, y), Untouched) << x << ", " << y;
        }
    }
}

TEST(DifferenceGraph, PaintMessageDrawsIntoTheWindow) {
    GraphWindow control(60, 30, WS_POPUP | WS_VISIBLE);
    DifferenceGraph graph(GetModuleHandleW(nullptr), &graphPalette);
    graph.attach(control.handle);
    graph.push(3);
    graph.push(3);
    graph.push(3);
    RedrawWindow(control.handle, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    Canvas canvas(60, 30);
    HDC windowDc = GetDC(control.handle);
    BitBlt(canvas.dc, 0, 0, 60, 30, windowDc, 0, 0, SRCCOPY);
    ReleaseDC(control.handle, windowDc);
    EXPECT_EQ(canvas.at(0, 15), CentreRed);
    EXPECT_EQ(canvas.at(3, 12), TraceRed);
    EXPECT_EQ(canvas.at(0, 0), Black);
}

TEST(DifferenceGraph, At192DpiEverythingIsTwiceAsLargeAndNoPenIsLeftSelected) {
    // Five samples of +3: two columns apart, the newest at column 10, six rows above the centre.
    // Lines are two pixels wide (rows y - 1 and y), the grid step is 8 and its dots 2 x 2.
    GraphWindow control(100, 40);
    DifferenceGraph graph(GetModuleHandleW(nullptr), &graphPalette);
    graph.attach(control.handle);
    graph.dpi = 192;
    for (int i = 0; i < 5; ++i) {
        graph.push(3);
    }
    Canvas canvas(100, 40);
    const HGDIOBJ penBefore = GetCurrentObject(canvas.dc, OBJ_PEN);
    graph.paint(canvas.dc);
    EXPECT_EQ(GetCurrentObject(canvas.dc, OBJ_PEN), penBefore);

    const auto trace = tracePixels(canvas);
    ASSERT_FALSE(trace.empty());
    for (const auto& [x, y] : trace) {
        EXPECT_TRUE(x >= 1 && x <= 11 && (y == 13 || y == 14)) << x << ", " << y;
    }
    for (int x : {2, 6, 10}) {
        EXPECT_EQ(canvas.at(x, 13), TraceRed) << x;
        EXPECT_EQ(canvas.at(x, 14), TraceRed) << x;
    }
    EXPECT_NE(canvas.at(12, 14), TraceRed);

    EXPECT_EQ(canvas.at(50, 19), CentreRed);
    EXPECT_EQ(canvas.at(50, 20), CentreRed);
    EXPECT_EQ(canvas.at(50, 18), Black);
    EXPECT_EQ(canvas.at(50, 21), Black);
    // Dots on rows 28 and 36 below the centre, 12 and 4 above, every eighth column.
    for (int row : {4, 12, 28, 36}) {
        for (int x : {48, 49}) {
            EXPECT_EQ(canvas.at(x, row - 1), GridRed) << x << ", " << row;
            EXPECT_EQ(canvas.at(x, row), GridRed) << x << ", " << row;
        }
        EXPECT_EQ(canvas.at(50, row), Black) << row;
        EXPECT_EQ(canvas.at(47, row), Black) << row;
    }
    for (int row : {8, 16, 24, 32}) {
        EXPECT_EQ(canvas.at(48, row), Black) << row;
    }
}

} // namespace
