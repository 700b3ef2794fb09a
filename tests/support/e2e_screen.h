// The window of the real program on a private Xvfb screen: what tells its
// pages apart by their pixels, what to click on them (xdotool), and
// screenshots (ImageMagick).
#pragma once

#include "child_process.h"
#include "test_paths.h"

#include <chrono>
#include <cstddef>
#include <cstdlib>
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
// at least `minRun` pixels of a colour (or, with `none`, no such pixel).
// Stretches rather than points, as the pages centre their content and move
// with their texts.
struct Probe {
    int x, y0, y1;
    Colour colour;
    int minRun = 1;
    bool none = false;
};

struct PageLook {
    const char* name;
    std::vector<Probe> probes;
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
// check marks of its list and its filled button, the failed page by its
// tinted error box.
inline const PageLook kComplete{"complete",
                         {{174, 150, 320, Colour::Accent, 2},
                          {195, 300, 480, Colour::Accent, 20},
                          {230, 150, 450, Colour::Dark, 1, true},
                          {280, 80, 250, Colour::Red, 1, true},
                          {50, 150, 300, Colour::NotBackground, 20, true}}};
inline const PageLook kFailed{"failed",
                       {{50, 150, 320, Colour::NotBackground, 30},
                        {180, 250, 480, Colour::Accent, 20},
                        {230, 150, 450, Colour::Dark, 1, true},
                        {470, 80, 400, Colour::White, 20, true}}};
inline const PageLook kPluginsWithUninstall{"plugins with the Uninstall button",
                                     {{470, 80, 400, Colour::White, 20}, {404, 40, 75, Colour::Accent, 1}}};
// The uninstall page: rows above "Uninstall Selected", red (pale while disabled).
inline const PageLook kUninstall{"uninstall",
                          {{470, 80, 420, Colour::NotBackground, 25}, {400, 420, 519, Colour::RedOrFaded, 20}}};
inline const PageLook kUninstallEnabled{"uninstall with a selection",
                                 {{470, 80, 420, Colour::NotBackground, 25}, {400, 420, 519, Colour::Red, 20}}};
inline const PageLook kUninstallProgress{"uninstall-progress",
                                  {{470, 200, 400, Colour::Track, 3},
                                   {470, 80, 400, Colour::White, 20, true},
                                   {400, 420, 519, Colour::Red, 1, true}}};
// Three removed items: three check marks in the list's column.
inline const PageLook kUninstallComplete{"uninstall-complete",
                                  {{173, 80, 480, Colour::Accent, 2},
                                   {252, 250, 500, Colour::Accent, 20},
                                   {470, 80, 400, Colour::White, 20, true}}};

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
inline const Target kGetStarted{"Let's Get Started", 222, 300, 500, Colour::Accent, 20};
inline const Target kRetry{"Retry", 205, 200, 470, Colour::Accent, 20};
inline const Target kNoInternetClose{"Close (no-internet)", 205, 200, 470, Colour::Accent, 20, 354};
inline Target pluginRow(int index) { return {"a plug-in row", 45, 80, 420, Colour::NotBackground, 40, 300, index}; }
inline const Target kInstall{"Install", 475, 380, 519, Colour::AccentOrFaded, 20};
inline const Target kTerms{"Terms and License Info", 475, 380, 519, Colour::AccentOrFaded, 20, 107};
inline const Target kLicenseBack{"Back", 511, 380, 519, Colour::Accent, 1};
inline const Target kCompleteClose{"Close (complete)", 195, 300, 480, Colour::Accent, 20, 365};
inline const Target kFailedClose{"Close (failed)", 185, 250, 480, Colour::Accent, 20, 375};
// The plug-in page's text button, found by its underline.
inline const Target kUninstallHeader{"Uninstall", 404, 40, 75, Colour::Accent, 1, 428};
inline Target uninstallRow(int index) { return {"an uninstall row", 45, 80, 420, Colour::NotBackground, 25, 300, index}; }
inline const Target kUninstallSelected{"Uninstall Selected", 400, 420, 519, Colour::Red, 20};
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

// A private X screen, so windows of other display tests never cover ours.
class Screen {
public:
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
    bool capture(std::vector<unsigned char>& rgb) const {
        const std::string raw = kWork + "/screen.rgb";
        if (x("import -window root -crop " + std::to_string(kWidth) + "x" + std::to_string(kHeight) +
              "+0+0 -depth 8 " + quote("rgb:" + raw)) != 0) {
            return false;
        }
        const std::string data = readFile(raw);
        if (data.size() != static_cast<std::size_t>(kWidth * kHeight * 3)) return false;
        rgb.assign(data.begin(), data.end());
        return true;
    }

    bool shows(const PageLook& look) const {
        std::vector<unsigned char> rgb;
        if (!capture(rgb)) return false;
        for (const Probe& p : look.probes) {
            if ((run(rgb, p.x, p.y0, p.y1, p.colour, p.minRun, 0) >= 0) == p.none) return false;
        }
        return true;
    }

    // The middle of the index-th run of at least minRun pixels of a colour
    // in column x between y0 and y1, or -1. With minRun 1 the run is the span
    // from the first to the last such pixel (an outlined button's borders).
    static int run(const std::vector<unsigned char>& rgb, int x, int y0, int y1, Colour colour, int minRun, int index) {
        auto hit = [&](int y) {
            return y >= 0 && y <= y1 && y < kHeight && matches(&rgb[(static_cast<std::size_t>(y) * kWidth + x) * 3], colour);
        };
        if (minRun == 1) {
            int first = -1, last = -1;
            for (int y = y0; y <= y1; ++y) {
                if (hit(y)) {
                    if (first < 0) first = y;
                    last = y;
                }
            }
            return first < 0 ? -1 : (first + last) / 2;
        }
        int start = -1, found = 0;
        for (int y = y0; y <= y1 + 1; ++y) {
            if (hit(y)) {
                if (start < 0) start = y;
            } else if (start >= 0) {
                if (y - start >= minRun && found++ == index) return (start + y - 1) / 2;
                start = -1;
            }
        }
        return -1;
    }

    bool waitFor(const PageLook& look, std::chrono::seconds timeout) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (shows(look)) return true;
            std::this_thread::sleep_for(250ms);
        }
        save(std::string("timeout-") + look.name);
        return false;
    }

    void save(const std::string& name) const {
        x("import -window root -crop " + std::to_string(kWidth) + "x" + std::to_string(kHeight) + "+0+0 " +
          quote(kScreenshots + "/" + name + ".png"));
    }

    // Finds the target on the screen and clicks it; false when it is not there.
    bool click(const Target& t) const {
        std::vector<unsigned char> rgb;
        if (!capture(rgb)) return false;
        const int y = run(rgb, t.x, t.y0, t.y1, t.colour, t.minRun, t.index);
        if (y < 0) {
            save(std::string("missing-") + t.name);
            return false;
        }
        return x("xdotool mousemove " + std::to_string(t.clickX ? t.clickX : t.x) + " " + std::to_string(y) +
                 " click 1") == 0;
    }

private:
    std::unique_ptr<ChildProcess> xvfb_;
    std::string display_;
};

}  // namespace zrvk_test::e2e
