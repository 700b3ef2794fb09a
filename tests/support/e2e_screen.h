// The window of the real program on a private Xvfb screen: what tells its
// pages apart by their pixels, what to click on them (xdotool), and
// screenshots (ImageMagick).
#pragma once

#include "child_process.h"
#include "test_paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zrvk_test::e2e {

using namespace std::chrono_literals;

inline const std::string kScreenshots = ZRVK_SCREENSHOT_DIR;
inline const std::string kWork = ZRVK_E2E_WORK_DIR;
inline constexpr int kWidth = 600, kHeight = 520;

inline std::string quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Colour classes the page's pixels fall into (light theme).
enum class Colour { Accent, AccentOrFaded, White, Background, NotBackground, Track, Red, RedOrFaded, Dark };

// A vertical stretch of one column, from y0 to y1, that must hold a run of
// at least `minRun` pixels of a colour (or, with `none`, no such pixel); with
// `index`, the index-th such run from the top (or, with `none`, no such run).
// Stretches rather than points, as the pages centre their content and move
// with their texts.
struct Probe {
    int x, y0, y1;
    Colour colour;
    int minRun = 1;
    bool none = false;
    int index = 0;
};

// A rectangle whose columns that hold a pixel of a colour form groups, each
// apart from the next by at least `gap` columns without one: a button, or a
// word with its underline. Elements laid out side by side whose places follow
// their texts (and so the fonts) are found as groups, not at fixed columns.
struct Band {
    int x0, x1, y0, y1;
    Colour colour;
    int gap;
};

// A band that must hold at least `minGroups` groups.
struct BandProbe {
    Band band;
    int minGroups;
};

struct PageLook {
    const char* name;
    std::vector<Probe> probes;
    std::vector<BandProbe> bands = {};
};

// What tells the pages apart in the 600x520 window at the screen's corner.
// Button columns avoid the buttons' labels.
inline const PageLook kWelcome{"welcome", {{230, 150, 450, Colour::Dark, 40}, {222, 300, 500, Colour::Accent, 20}}};
inline const PageLook kPlugins{"plugins", {{470, 80, 400, Colour::White, 20}, {475, 380, 519, Colour::AccentOrFaded, 20}}};
inline const PageLook kPluginsSelected{"plugins with a selection",
                                {{470, 80, 400, Colour::White, 20}, {475, 380, 519, Colour::Accent, 20}}};
// The licence text box is one tall white block; plug-in rows are short ones.
inline const PageLook kLicense{"license-info", {{45, 80, 440, Colour::White, 200}}};
inline const PageLook kNoInternet{"no-internet",
                           {{205, 200, 470, Colour::Accent, 20},
                            {230, 150, 470, Colour::Dark, 1, true},
                            {470, 80, 400, Colour::White, 20, true}}};
inline const PageLook kProgress{"progress", {{470, 200, 400, Colour::Track, 3}, {470, 80, 400, Colour::White, 20, true}}};
// The result pages carry no icon: the complete page is told by the small
// check marks of its list and its two buttons, the failed page by its tinted
// error box. Their buttons sit side by side, centred, as wide as their labels.
inline const Band kCompleteButtons{40, 559, 300, 480, Colour::Accent, 6};
inline const Band kFailedButtons{40, 559, 250, 480, Colour::Accent, 6};
inline const PageLook kComplete{"complete",
                         {{174, 150, 320, Colour::Accent, 2},
                          {230, 150, 450, Colour::Dark, 1, true},
                          {280, 80, 250, Colour::Red, 1, true},
                          {50, 150, 300, Colour::NotBackground, 20, true}},
                         {{kCompleteButtons, 2}}};
inline const PageLook kFailed{"failed",
                       {{50, 150, 320, Colour::NotBackground, 30},
                        {230, 150, 450, Colour::Dark, 1, true},
                        {470, 80, 400, Colour::White, 20, true}},
                       {{kFailedButtons, 2}}};
// The plug-in page's header, right of its title: the "Uninstall" text button
// (when shown) and the outlined "Select All" button, both in the accent colour.
inline const Band kHeaderActions{40, 559, 40, 75, Colour::Accent, 6};
inline const PageLook kPluginsWithUninstall{
    "plugins with the Uninstall button", {{470, 80, 400, Colour::White, 20}}, {{kHeaderActions, 2}}};
// The uninstall page: rows above "Uninstall Selected", red (pale while disabled).
// The button ends at the page's right padding and grows to the left with its
// label: a column between its label and its right end is inside it anyway.
inline const PageLook kUninstall{"uninstall",
                          {{470, 80, 420, Colour::NotBackground, 25}, {548, 420, 519, Colour::RedOrFaded, 20}}};
// Nothing installed: the User Data row alone.
inline const PageLook kUninstallUserDataOnly{"uninstall with the User Data row alone",
                                      {{45, 80, 420, Colour::NotBackground, 25},
                                       {45, 80, 420, Colour::NotBackground, 25, true, 1}}};
inline const PageLook kUninstallEnabled{"uninstall with a selection",
                                 {{470, 80, 420, Colour::NotBackground, 25}, {548, 420, 519, Colour::Red, 20}}};
inline const PageLook kUninstallProgress{"uninstall-progress",
                                  {{470, 200, 400, Colour::Track, 3},
                                   {470, 80, 400, Colour::White, 20, true},
                                   {548, 420, 519, Colour::Red, 1, true}}};
// Three removed items: three check marks in the list's column.
inline const PageLook kUninstallComplete{"uninstall-complete",
                                  {{173, 80, 480, Colour::Accent, 2},
                                   {252, 250, 500, Colour::Accent, 20},
                                   {470, 80, 400, Colour::White, 20, true}}};
inline const PageLook kUninstallCompleteThreeItems{"uninstall-complete with three items",
                                            {{173, 80, 480, Colour::Accent, 2, false, 2},
                                             {173, 80, 480, Colour::Accent, 2, true, 3}}};

// Something to click, found on the screen: the `index`-th run of at least
// `minRun` pixels of a colour in column x between y0 and y1; the click goes
// to the run's middle, in column clickX (x when 0).
struct Target {
    const char* name;
    int x, y0, y1;
    Colour colour;
    int minRun;
    int clickX = 0;
    int index = 0;
};
// Something to click found as a group of a band: the index-th from the left,
// or with a negative index counted from the right (-1 the last). The click
// goes to the group's middle column, halfway between its first and last
// pixel of the colour there.
struct BandTarget {
    const char* name;
    Band band;
    int index;
};
inline const Target kGetStarted{"Let's Get Started", 222, 300, 500, Colour::Accent, 20};
inline const Target kRetry{"Retry", 205, 200, 470, Colour::Accent, 20};
inline const Target kNoInternetClose{"Close (no-internet)", 205, 200, 470, Colour::Accent, 20, 354};
inline Target pluginRow(int index) { return {"a plug-in row", 45, 80, 420, Colour::NotBackground, 40, 300, index}; }
inline const Target kInstall{"Install", 475, 380, 519, Colour::AccentOrFaded, 20};
inline const Target kTerms{"Terms and License Info", 475, 380, 519, Colour::AccentOrFaded, 20, 107};
inline const Target kLicenseBack{"Back", 511, 380, 519, Colour::Accent, 1};
inline const BandTarget kCompleteClose{"Close (complete)", kCompleteButtons, -1};
inline const BandTarget kFailedClose{"Close (failed)", kFailedButtons, -1};
// The plug-in page's text button: the header's group before "Select All".
inline const BandTarget kUninstallHeader{"Uninstall", kHeaderActions, -2};
inline Target uninstallRow(int index) { return {"an uninstall row", 45, 80, 420, Colour::NotBackground, 25, 300, index}; }
inline const Target kUninstallSelected{"Uninstall Selected", 548, 420, 519, Colour::Red, 20};
inline const Target kUninstallCompleteClose{"Close (uninstall complete)", 252, 250, 500, Colour::Accent, 20, 300};

inline bool matches(const unsigned char* p, Colour c) {
    const int r = p[0], g = p[1], b = p[2];
    switch (c) {
        case Colour::Accent:  // #24C3F1 and its hover and pressed shades
            return r < 100 && g >= 130 && g <= 230 && b >= 180;
        case Colour::AccentOrFaded:  // also the disabled button's paler shade
            return r <= 160 && g >= 150 && b >= 200;
        case Colour::White:
            return r >= 250 && g >= 250 && b >= 250;
        case Colour::NotBackground:
            return !matches(p, Colour::Background);
        case Colour::Dark:  // the demo's navy welcome banner, not the grey text
            return r < 80 && g < 80 && b < 120 && b > r + 20;
        case Colour::Background:  // #ECECEC
            return r >= 226 && r <= 246 && std::abs(r - g) < 6 && std::abs(r - b) < 6;
        case Colour::Track:  // the progress bar's empty part, a pale accent
            return r >= 170 && r <= 225 && g >= 210 && b >= 220 && b > r + 15;
        case Colour::Red:  // #DC3545
            return r >= 190 && g < 90 && b < 110;
        case Colour::RedOrFaded:  // also the disabled danger button's paler shade
            return r >= 190 && r - g >= 25 && r - b >= 25;
    }
    return false;
}

inline const char* colourName(Colour c) {
    switch (c) {
        case Colour::Accent: return "accent";
        case Colour::AccentOrFaded: return "accent or faded accent";
        case Colour::White: return "white";
        case Colour::Background: return "background";
        case Colour::NotBackground: return "not background";
        case Colour::Track: return "track";
        case Colour::Red: return "red";
        case Colour::RedOrFaded: return "red or faded red";
        case Colour::Dark: return "dark";
    }
    return "?";
}

// A private X screen, so windows of other display tests never cover ours.
class Screen {
public:
    using Pixels = std::vector<unsigned char>;
    // A stretch of rows of a column, or of columns of a band.
    struct Span {
        int from, to;
    };

    bool start(std::string& error) {
        xvfb_ = std::make_unique<ChildProcess>(std::vector<std::string>{
            "/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset"});
        if (!xvfb_->waitForOutput("\n", 15s)) {
            error = "Xvfb did not start: " + xvfb_->err();
            return false;
        }
        std::string out = xvfb_->out();
        display_ = ":" + out.substr(0, out.find('\n'));
        return true;
    }

    const std::string& display() const { return display_; }

    int x(const std::string& command) const {
        return zrvk_test::run("DISPLAY=" + display_ + " timeout 20 " + command + " >/dev/null 2>&1");
    }

    // The window's pixels as RGB bytes.
    bool capture(Pixels& rgb) const { return grab("import -window root -crop " + window(), rgb); }

    bool shows(const PageLook& look) const {
        Pixels rgb;
        return capture(rgb) && mismatch(rgb, look).empty();
    }

    // The middle of the index-th run of at least minRun pixels of a colour
    // in column x between y0 and y1, or -1. With minRun 1 the run is the span
    // from the first to the last such pixel (an outlined button's borders).
    static int run(const Pixels& rgb, int x, int y0, int y1, Colour colour, int minRun, int index) {
        const std::vector<Span> found = runs(rgb, x, y0, y1, colour, minRun);
        return index < static_cast<int>(found.size()) ? (found[index].from + found[index].to) / 2 : -1;
    }

    // The groups of a band, from left to right.
    static std::vector<Span> groups(const Pixels& rgb, const Band& b) {
        std::vector<Span> found;
        int last = -1;
        for (int x = b.x0; x <= b.x1 && x < kWidth; ++x) {
            if (runs(rgb, x, b.y0, b.y1, b.colour, 1).empty()) continue;
            if (last < 0 || x - last > b.gap) found.push_back({x, x});
            found.back().to = last = x;
        }
        return found;
    }

    // The page as it is now: on a mismatch the message says what each probe
    // that failed saw, and names the screenshot saved of it.
    ::testing::AssertionResult holds(const PageLook& look) const {
        Pixels rgb;
        if (capture(rgb) && mismatch(rgb, look).empty()) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the screen is not " << look.name
                                             << report(std::string("mismatch-") + look.name, saw(look));
    }

    ::testing::AssertionResult waitFor(const PageLook& look, std::chrono::seconds timeout) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (shows(look)) return ::testing::AssertionSuccess();
            std::this_thread::sleep_for(250ms);
        }
        return ::testing::AssertionFailure() << look.name << " did not show within " << timeout.count() << " s"
                                             << report(std::string("timeout-") + look.name, saw(look));
    }

    // Saves the window as NAME.png in the screenshot folder; its path.
    std::string save(const std::string& name) const {
        const std::string path = kScreenshots + "/" + name + ".png";
        x("import -window root -crop " + window() + " " + quote(path));
        return path;
    }

    // Finds the target on the screen and clicks it; fails when it is not there.
    ::testing::AssertionResult click(const Target& t) const {
        Pixels rgb;
        if (!capture(rgb)) return ::testing::AssertionFailure() << "no screenshot of the window";
        const int y = run(rgb, t.x, t.y0, t.y1, t.colour, t.minRun, t.index);
        if (y < 0) {
            const Probe where{t.x, t.y0, t.y1, t.colour, t.minRun, false, t.index};
            return ::testing::AssertionFailure() << "no " << t.name << " to click"
                                                 << report(std::string("missing-") + t.name,
                                                           [where](const Pixels& seen) { return describe(seen, where); });
        }
        return clickAt(t.clickX ? t.clickX : t.x, y);
    }

    ::testing::AssertionResult click(const BandTarget& t) const {
        Pixels rgb;
        if (!capture(rgb)) return ::testing::AssertionFailure() << "no screenshot of the window";
        const std::vector<Span> found = groups(rgb, t.band);
        const int i = t.index < 0 ? static_cast<int>(found.size()) + t.index : t.index;
        if (i < 0 || i >= static_cast<int>(found.size())) {
            const Band where = t.band;
            return ::testing::AssertionFailure() << "no " << t.name << " to click"
                                                 << report(std::string("missing-") + t.name,
                                                           [where](const Pixels& seen) { return "  " + describe(seen, where); });
        }
        const int x = (found[i].from + found[i].to) / 2;
        return clickAt(x, run(rgb, x, t.band.y0, t.band.y1, t.band.colour, 1, 0));
    }

private:
    std::string window() const { return std::to_string(kWidth) + "x" + std::to_string(kHeight) + "+0+0"; }

    // Runs `command` with an RGB file as its last argument and reads it.
    bool grab(const std::string& command, Pixels& rgb) const {
        const std::string raw = kWork + "/screen.rgb";
        if (x(command + " -depth 8 " + quote("rgb:" + raw)) != 0) return false;
        const std::string data = readFile(raw);
        if (data.size() != static_cast<std::size_t>(kWidth * kHeight * 3)) return false;
        rgb.assign(data.begin(), data.end());
        return true;
    }

    ::testing::AssertionResult clickAt(int x, int y) const {
        if (this->x("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1") == 0) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "xdotool could not click at " << x << "," << y;
    }

    using Seen = std::function<std::string(const Pixels&)>;
    static Seen saw(const PageLook& look) {
        return [look](const Pixels& rgb) { return mismatch(rgb, look); };
    }

    // Saves a screenshot and names it, after what `seen` says of its pixels.
    std::string report(const std::string& name, const Seen& seen) const {
        const std::string path = save(name);
        Pixels rgb;
        std::string what = grab("convert " + quote(path), rgb) ? seen(rgb) : "  (the screenshot could not be read)";
        if (!what.empty() && what.back() == '\n') what.pop_back();
        if (what.empty()) what = "  (the screenshot, taken a moment later, shows it)";
        return ":\n" + what + "\nscreenshot: " + path;
    }

    static std::vector<Span> runs(const Pixels& rgb, int x, int y0, int y1, Colour colour, int minRun) {
        std::vector<Span> found;
        auto hit = [&](int y) { return y >= 0 && y <= y1 && y < kHeight && matches(pixel(rgb, x, y), colour); };
        if (minRun == 1) {
            for (int y = y0; y <= y1; ++y) {
                if (!hit(y)) continue;
                if (found.empty()) found.push_back({y, y});
                found.back().to = y;
            }
            return found;
        }
        int start = -1;
        for (int y = y0; y <= y1 + 1; ++y) {
            if (hit(y)) {
                if (start < 0) start = y;
            } else if (start >= 0) {
                if (y - start >= minRun) found.push_back({start, y - 1});
                start = -1;
            }
        }
        return found;
    }

    // One line per probe of the look that fails on these pixels.
    static std::string mismatch(const Pixels& rgb, const PageLook& look) {
        std::string text;
        for (const Probe& p : look.probes) {
            if ((run(rgb, p.x, p.y0, p.y1, p.colour, p.minRun, p.index) >= 0) == p.none) text += describe(rgb, p) + "\n";
        }
        for (const BandProbe& b : look.bands) {
            if (static_cast<int>(groups(rgb, b.band).size()) < b.minGroups) {
                text += "  wanted at least " + std::to_string(b.minGroups) + " " + describe(rgb, b.band) + "\n";
            }
        }
        return text;
    }

    static std::string describe(const Pixels& rgb, const Probe& p) {
        std::string text = "  column " + std::to_string(p.x) + ", y " + std::to_string(p.y0) + "-" + std::to_string(p.y1) +
                           ": wanted " + (p.none ? "no " : "") + "run " + std::to_string(p.index + 1) + " of " +
                           (p.minRun > 1 ? "at least " + std::to_string(p.minRun) + " " : "") + colourName(p.colour) +
                           " pixels; its runs:";
        const std::vector<Span> found = runs(rgb, p.x, p.y0, p.y1, p.colour, p.minRun);
        for (const Span& r : found) text += " " + std::to_string(r.from) + "-" + std::to_string(r.to);
        if (found.empty()) text += " none";
        return text + "; the column:" + column(rgb, p.x, p.y0, p.y1);
    }

    static std::string describe(const Pixels& rgb, const Band& b) {
        std::string text = "groups of " + std::string(colourName(b.colour)) + " columns in x " + std::to_string(b.x0) +
                           "-" + std::to_string(b.x1) + ", y " + std::to_string(b.y0) + "-" + std::to_string(b.y1) + ":";
        const std::vector<Span> found = groups(rgb, b);
        for (const Span& g : found) text += " x " + std::to_string(g.from) + "-" + std::to_string(g.to);
        return found.empty() ? text + " none" : text;
    }

    // The colours down a column, as stretches of one colour (short ones,
    // the edges of text, left out).
    static std::string column(const Pixels& rgb, int x, int y0, int y1) {
        std::string text;
        const int last = std::min(y1, kHeight - 1);
        for (int y = std::max(y0, 0), end = y; y <= last; y = end) {
            const unsigned char* p = pixel(rgb, x, y);
            while (++end <= last && std::equal(p, p + 3, pixel(rgb, x, end))) {
            }
            if (end - y < 3) continue;
            char colour[8];
            std::snprintf(colour, sizeof colour, "#%02x%02x%02x", p[0], p[1], p[2]);
            text += " " + std::to_string(y) + "-" + std::to_string(end - 1) + " " + colour;
        }
        return text.empty() ? " no stretch of one colour" : text;
    }

    static const unsigned char* pixel(const Pixels& rgb, int x, int y) {
        return &rgb[(static_cast<std::size_t>(y) * kWidth + x) * 3];
    }

    std::unique_ptr<ChildProcess> xvfb_;
    std::string display_;
};

}  // namespace zrvk_test::e2e
