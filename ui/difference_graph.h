// DifferenceGraph: the strip-chart control that shows the recent guide samples of one axis.
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>

#include <windows.h>

// The window class of the strip-chart controls, as the dialog template names it.
constexpr const wchar_t* GraphClassName = L"control_autoguider_difference_graph";
constexpr int GraphSlots = 2560;
constexpr int GraphMaxCount = GraphSlots - 1;
// Colour of the grid dots.
constexpr COLORREF GraphGridColour = RGB(96, 0, 0);
// The DPI at which the chart draws one pixel per sample, per pixel of swing and per line width.
constexpr int GraphBaseDpi = 96;

// The red brushes and pens every graph draws with. One static object, built before the entry point
// runs and never released: its handles live as long as the process.
struct GraphPalette {
    GraphPalette();

    HBRUSH brush[4];
    HPEN pen[4];
};

extern GraphPalette graphPalette;

// Registers the strip-chart window class. Called once at start-up, before any dialog names it.
void registerGraphClass(HINSTANCE instance);

// The DPI a window is drawn at: GetDpiForWindow where the system has it (Windows 10 1607 on),
// otherwise the screen's, which is what a system-aware program gets on older systems.
int windowDpi(HWND window);

struct PenDeleter {
    void operator()(HPEN pen) const { DeleteObject(pen); }
};
using UniquePen = std::unique_ptr<std::remove_pointer_t<HPEN>, PenDeleter>;

class DifferenceGraph {
public:
    DifferenceGraph(HINSTANCE instance, const GraphPalette* palette);
    DifferenceGraph(const DifferenceGraph&) = delete;
    DifferenceGraph& operator=(const DifferenceGraph&) = delete;

    // Binds this graph to an existing control window and takes that window's DPI.
    void attach(HWND window);
    // Appends one sample, a displacement in pixels above the centre line.
    void push(std::int8_t value);
    LRESULT handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // Draws the whole client area of the control window into dc, scaled by dpi / 96.
    void paint(HDC dc);

    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);

    HINSTANCE instance;
    HWND window = nullptr;
    const GraphPalette* palette;
    std::int8_t samples[GraphSlots];
    std::int32_t count = 0;
    std::int32_t writeIndex = 0;
    // The DPI to draw at; attach takes it from the window.
    int dpi = GraphBaseDpi;

private:
    // A length of the 96-DPI chart at this graph's DPI, rounded to the nearest pixel.
    int scaled(int length) const;
    void dotGrid(HDC dc, int width, int height, int centre, int step, int dotSize) const;
    // The palette's pen of that index (the centre line's or the trace's) for lines of width 1;
    // otherwise this graph's pen of the same colour, made once per width.
    HPEN pen(int index, int width);

    int widePenWidth = 0;
    UniquePen wideCentrePen;
    UniquePen wideTracePen;
};
