// DifferenceGraph: the strip-chart control that shows the recent guide samples of one axis.
#pragma once

#include <cstdint>

#include <windows.h>

// The window class of the strip-chart controls, as the dialog template names it.
constexpr const wchar_t* GraphClassName = L"control_autoguider_difference_graph";
constexpr int GraphSlots = 2560;
constexpr int GraphMaxCount = GraphSlots - 1;
// Colour of the grid dots.
constexpr COLORREF GraphGridColour = RGB(96, 0, 0);

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

class DifferenceGraph {
public:
    DifferenceGraph(HINSTANCE instance, const GraphPalette* palette);
    DifferenceGraph(const DifferenceGraph&) = delete;
    DifferenceGraph& operator=(const DifferenceGraph&) = delete;

    // Binds this graph to an existing control window.
    void attach(HWND window);
    // Appends one sample, a displacement in pixels above the centre line.
    void push(std::int8_t value);
    LRESULT handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // Draws the whole client area of the control window into dc.
    void paint(HDC dc);

    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);

    HINSTANCE instance;
    HWND window = nullptr;
    const GraphPalette* palette;
    std::int8_t samples[GraphSlots];
    std::int32_t count = 0;
    std::int32_t writeIndex = 0;
};
