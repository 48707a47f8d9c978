#include "host/CursesView.h"

#include <ncurses.h>

#include <langinfo.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cwchar>
#include <deque>
#include <mutex>
#include <string>

#include "capture/Decode.h"

namespace host {

namespace {

constexpr int kPanelWidth = 44;
constexpr std::size_t kLogLines = 2;

char NpcLetter(std::size_t index) {
    if (index < 26) {
        return static_cast<char>('A' + index);
    }
    if (index < 52) {
        return static_cast<char>('a' + (index - 26));
    }
    return '+';
}

/// How much of a text fits in some columns: its first `bytes` bytes, `columns` wide.
struct Fit {
    std::size_t bytes = 0;
    std::size_t columns = 0;
};

Fit FitIn(const std::string& text, std::size_t columns) {
    Fit fit;
    std::mbstate_t state{};
    while (fit.bytes < text.size()) {
        wchar_t wide = 0;
        const std::size_t read =
            std::mbrtowc(&wide, text.data() + fit.bytes, text.size() - fit.bytes, &state);
        std::size_t length = 1;
        std::size_t width = 1;
        if (read == static_cast<std::size_t>(-1) || read == static_cast<std::size_t>(-2)) {
            state = std::mbstate_t{};  // a byte the locale cannot read: one cell
        } else if (read != 0) {
            length = read;
            const int cells = ::wcwidth(wide);
            width = cells < 0 ? 1 : static_cast<std::size_t>(cells);
        }
        if (fit.columns + width > columns) {
            break;
        }
        fit.bytes += length;
        fit.columns += width;
    }
    return fit;
}

/// `text` fitted to exactly `columns` columns: cut, or padded with spaces.
std::string PadColumns(const std::string& text, std::size_t columns) {
    const Fit fit = FitIn(text, columns);
    return text.substr(0, fit.bytes) + std::string(columns - fit.columns, ' ');
}

std::string Fixed1(float v) {
    if (!std::isfinite(v)) {
        return "?";
    }
    // Beyond a billion a position reads better in powers of ten than in 40 digits.
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, std::fabs(v) < 1e9f ? "%.1f" : "%.3g",
                  static_cast<double>(v));
    return buffer;
}

std::string Seconds(double seconds) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g s", seconds);
    return buffer;
}

}  // namespace

std::vector<std::string> DrawMap(const MarkerSnapshot& snapshot, int width, int height) {
    width = std::max(width, 1);
    height = std::max(height, 1);
    std::vector<std::string> rows(static_cast<std::size_t>(height),
                                  std::string(static_cast<std::size_t>(width), ' '));
    float minX = 0, maxX = 100, minY = 0, maxY = 100;
    const auto widen = [&](float x, float y) {
        if (std::isfinite(x) && std::isfinite(y)) {
            minX = std::min(minX, x);
            maxX = std::max(maxX, x);
            minY = std::min(minY, y);
            maxY = std::max(maxY, y);
        }
    };
    for (const auto& p : snapshot.players) {
        widen(p.x, p.y);
    }
    for (const auto& n : snapshot.npcs) {
        widen(n.x, n.y);
    }
    const auto place = [&](float x, float y, char mark) {
        if (!std::isfinite(x) || !std::isfinite(y)) {
            return;
        }
        const double fx = (static_cast<double>(x) - minX) / (static_cast<double>(maxX) - minX);
        const double fy = (static_cast<double>(y) - minY) / (static_cast<double>(maxY) - minY);
        const int col = std::clamp(static_cast<int>(std::lround(fx * (width - 1))), 0, width - 1);
        const int row = height - 1 -
                        std::clamp(static_cast<int>(std::lround(fy * (height - 1))), 0, height - 1);
        char& cell = rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)];
        cell = cell == ' ' ? mark : '*';
    };
    for (std::size_t i = 0; i < snapshot.npcs.size(); ++i) {
        place(snapshot.npcs[i].x, snapshot.npcs[i].y, NpcLetter(i));
    }
    for (const auto& p : snapshot.players) {
        place(p.x, p.y, '@');
    }
    return rows;
}

struct CursesView::Impl {
    std::vector<std::string> kindNames;
    /// Whether the terminal's locale reads UTF-8; set when Run starts.
    bool utf8 = true;
    std::mutex mutex;  ///< a leaf lock: reports come in under the client core lock
    std::vector<NpcRow> lastAnswer;
    bool haveAnswer = false;
    std::uint64_t changes = 0;
    std::uint64_t answers = 0;
    std::uint64_t resets = 0;
    std::deque<std::string> log;
    bool dirty = true;
    bool color = false;

    /// A name from the server as the terminal shows it: escaped, so that a control character
    /// neither moves the cursor nor shows as something else, and outside a UTF-8 locale with
    /// every byte beyond ASCII as \xNN, which such a terminal would show as something else.
    std::string Shown(const std::string& name) const {
        std::string text = capture::EscapeText(name);
        if (utf8) {
            return text;
        }
        std::string ascii;
        for (const char ch : text) {
            const auto byte = static_cast<unsigned char>(ch);
            if (byte < 0x80) {
                ascii += ch;
            } else {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
                ascii += escaped;
            }
        }
        return ascii;
    }

    std::string KindName(std::int32_t kind) const {
        if (kind >= 0 && static_cast<std::size_t>(kind) < kindNames.size() &&
            !kindNames[static_cast<std::size_t>(kind)].empty()) {
            return kindNames[static_cast<std::size_t>(kind)];
        }
        return "kind " + std::to_string(kind);
    }

    void Put(int y, int x, const std::string& text, int maxCols, int pair = 0) {
        if (maxCols <= 0 || y < 0 || y >= LINES) {
            return;
        }
        if (color && pair != 0) {
            attron(COLOR_PAIR(pair));
        }
        mvaddstr(y, x, FitColumns(text, static_cast<std::size_t>(maxCols)).c_str());
        if (color && pair != 0) {
            attroff(COLOR_PAIR(pair));
        }
    }

    void Draw(const LiveStatus& status, const MarkerSnapshot& s) {
        std::vector<NpcRow> answer;
        bool answered = false;
        std::uint64_t c = 0, a = 0, r = 0;
        std::deque<std::string> lines;
        {
            std::lock_guard<std::mutex> guard(mutex);
            answer = lastAnswer;
            answered = haveAnswer;
            c = changes;
            a = answers;
            r = resets;
            lines = log;
            dirty = false;
        }
        erase();
        const int cols = COLS;
        const int rows = LINES;
        Put(0, 0,
            " Pyr_MiniMap live view   server " + status.server +
                (status.connected ? "  [connected]" : "  [not connected, retrying]"),
            cols, status.connected ? 1 : 4);

        const int footer = 4 + static_cast<int>(kLogLines);
        const int mapHeight = std::max(3, rows - 1 - footer - 2);
        const int mapWidth = std::max(10, std::min(cols - kPanelWidth - 3, mapHeight * 2 + 10));
        // Frame and map.
        Put(1, 0, "+" + std::string(static_cast<std::size_t>(mapWidth), '-') + "+", cols);
        const auto map = DrawMap(s, mapWidth, mapHeight);
        for (int i = 0; i < mapHeight; ++i) {
            const int y = 2 + i;
            Put(y, 0, "|", cols);
            for (int x = 0; x < mapWidth && x + 1 < cols; ++x) {
                const char ch = map[static_cast<std::size_t>(i)][static_cast<std::size_t>(x)];
                const int pair = ch == '@' ? 1 : ch == ' ' ? 0 : ch == '*' ? 4 : 2;
                Put(y, 1 + x, std::string(1, ch), 1, pair);
            }
            Put(y, mapWidth + 1, "|", cols - mapWidth - 1);
        }
        Put(2 + mapHeight, 0, "+" + std::string(static_cast<std::size_t>(mapWidth), '-') + "+",
            cols);

        // Legend and lists on the right.
        const int px = mapWidth + 3;
        const int pw = cols - px;
        int y = 1;
        const int bottom = 2 + mapHeight;
        Put(y++, px, "@ player  A-Za-z NPCs  + more NPCs  * shared", pw);
        // Up to `rows` rows of a list of `count`; when it is longer, the last row says how
        // many are left out.
        const auto list = [&](std::size_t count, int rows, const auto& row) {
            const std::size_t fits = static_cast<std::size_t>(std::max(rows, 0));
            const std::size_t shown = count <= fits ? count : fits == 0 ? 0 : fits - 1;
            for (std::size_t i = 0; i < shown; ++i) {
                Put(y++, px, row(i), pw);
            }
            if (shown < count && fits != 0) {
                Put(y++, px, "... and " + std::to_string(count - shown) + " more", pw);
            }
        };
        // The players keep up to three rows below the NPCs.
        const int playerRows = static_cast<int>(std::min<std::size_t>(s.players.size(), 3));
        Put(y++, px, "NPCs (" + std::to_string(s.npcs.size()) + ")", pw, 2);
        list(s.npcs.size(), bottom - y - 1 - playerRows, [&](std::size_t i) {
            const NpcRow& n = s.npcs[i];
            return std::string(1, NpcLetter(i)) + " " + PadColumns(Shown(n.name), 18) + " " +
                   KindName(n.kind) +
                   (n.quest != -1 ? "  quest " + std::to_string(n.quest) : std::string());
        });
        Put(y++, px, "Players (" + std::to_string(s.players.size()) + ")", pw, 1);
        list(s.players.size(), bottom - y, [&](std::size_t i) {
            const PlayerRow& p = s.players[i];
            return "@ " + std::to_string(p.id) + "  (" + Fixed1(p.x) + ", " + Fixed1(p.y) + ")";
        });

        // Status lines.
        int fy = 3 + mapHeight;
        std::string query = status.askedArg
                                ? "Last query (kind " + std::to_string(*status.askedArg) + "): "
                                : std::string("Last query: ");
        if (!answered) {
            query += status.askedArg ? "no answer yet" : "none yet, press f";
        } else if (answer.empty()) {
            query += "no NPC";
        } else {
            query += std::to_string(answer.size()) + " NPC" + (answer.size() == 1 ? ": " : "s: ");
            for (std::size_t i = 0; i < answer.size(); ++i) {
                query +=
                    (i != 0 ? ", " : "") + Shown(answer[i].name) + " (" + KindName(answer[i].kind) +
                    (answer[i].quest != -1 ? ", quest " + std::to_string(answer[i].quest) : "") +
                    ")";
            }
        }
        Put(fy++, 0, query, cols, 3);
        Put(fy++, 0,
            "Polling " + std::string(status.polling ? "on, every " : "off") +
                (status.polling ? Seconds(status.pollSeconds) : std::string()) + "   Battle " +
                (status.battle ? "on (no polls)" : "off") + "   Role #" +
                std::to_string(status.role) + "   Markers changed " + std::to_string(c) +
                "   Answers " + std::to_string(a) + "   Role resets " + std::to_string(r),
            cols);
        Put(fy++, 0,
            "Keys: p polling  b battle  f query kind " + std::to_string(status.queryArg) +
                "  [ ] change kind  r role reset  q quit",
            cols);
        for (const std::string& line : lines) {
            Put(fy++, 0, line, cols, 4);
        }
        refresh();
    }
};

CursesView::CursesView(std::vector<std::string> kindNames) : impl(std::make_unique<Impl>()) {
    impl->kindNames = std::move(kindNames);
}

CursesView::~CursesView() = default;

void CursesView::Show(ViewEvent event, std::vector<NpcRow> answer) {
    std::lock_guard<std::mutex> guard(impl->mutex);
    switch (event) {
        case ViewEvent::MarkersChanged:
            ++impl->changes;
            break;
        case ViewEvent::QueryFinished:
            ++impl->answers;
            impl->lastAnswer = std::move(answer);
            impl->haveAnswer = true;
            break;
        case ViewEvent::RoleReset:
            ++impl->resets;
            break;
    }
    impl->dirty = true;
}

void CursesView::AddLogLine(const std::string& line) {
    std::lock_guard<std::mutex> guard(impl->mutex);
    impl->log.push_back(line);
    while (impl->log.size() > kLogLines) {
        impl->log.pop_front();
    }
    impl->dirty = true;
}

void CursesView::Run(LiveControls& controls, const std::function<bool()>& shouldStop) {
    std::setlocale(LC_ALL, "");
    // Multi-byte texts (the element names) only where the terminal speaks UTF-8.
    impl->utf8 = std::string(nl_langinfo(CODESET)) == "UTF-8";
    if (!impl->utf8) {
        std::lock_guard<std::mutex> guard(impl->mutex);
        for (std::string& name : impl->kindNames) {
            const bool ascii = std::all_of(name.begin(), name.end(), [](char ch) {
                return static_cast<unsigned char>(ch) < 0x80;
            });
            if (!ascii) {
                name.clear();
            }
        }
    }
    initscr();
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    curs_set(0);
    timeout(100);
    if (has_colors()) {
        start_color();
        use_default_colors();
        init_pair(1, COLOR_GREEN, -1);
        init_pair(2, COLOR_YELLOW, -1);
        init_pair(3, COLOR_CYAN, -1);
        init_pair(4, COLOR_RED, -1);
        impl->color = true;
    }
    LiveStatus shown;
    bool first = true;
    KeyInput input = KeyInput::Keys;
    while (!shouldStop()) {
        if (input == KeyInput::Keys) {
            input = CheckKeyInput(STDIN_FILENO);
        }
        if (input == KeyInput::Gone) {
            break;  // nobody sees the map any more
        }
        int key = ERR;
        if (input == KeyInput::Keys) {
            key = getch();
        } else {
            napms(100);
        }
        if (key == 'q' || key == 'Q') {
            break;
        }
        switch (key) {
            case 'p':
                controls.TogglePolling();
                break;
            case 'b':
                controls.ToggleBattle();
                break;
            case 'f':
                controls.SendQuery();
                break;
            case '[':
                controls.ChangeQueryArg(-1);
                break;
            case ']':
                controls.ChangeQueryArg(+1);
                break;
            case 'r':
                controls.ResetRole();
                break;
            default:
                break;
        }
        const LiveStatus status = controls.GetStatus();
        bool redraw = first || key != ERR || status.connected != shown.connected ||
                      status.polling != shown.polling || status.battle != shown.battle ||
                      status.role != shown.role || status.queryArg != shown.queryArg ||
                      status.askedArg != shown.askedArg;
        {
            std::lock_guard<std::mutex> guard(impl->mutex);
            redraw = redraw || impl->dirty;
        }
        if (redraw) {
            // Read before the view's lock is taken: the core lock comes first.
            impl->Draw(status, controls.GetMarkers());
            shown = status;
            first = false;
        }
    }
    endwin();
}

KeyInput CheckKeyInput(int fd) {
    struct stat info {};
    const bool character = ::fstat(fd, &info) == 0 && S_ISCHR(info.st_mode);
    if (!character && !S_ISFIFO(info.st_mode) && !S_ISSOCK(info.st_mode)) {
        return KeyInput::None;  // a file, or no descriptor at all
    }
    pollfd watch{fd, POLLIN, 0};
    const short events = ::poll(&watch, 1, 0) == 1 ? watch.revents : 0;
    if (character) {
        // A terminal that hung up says so, and no longer passes for a terminal (isatty);
        // another device (/dev/null) has no keys.
        if ((events & (POLLERR | POLLHUP)) != 0) {
            return KeyInput::Gone;
        }
        return ::isatty(fd) != 0 ? KeyInput::Keys : KeyInput::None;
    }
    // A pipe that ended may still hold keys written before its end.
    const bool ended =
        (events & (POLLERR | POLLNVAL)) != 0 || ((events & POLLHUP) != 0 && (events & POLLIN) == 0);
    return ended ? KeyInput::None : KeyInput::Keys;
}

std::string FitColumns(const std::string& text, std::size_t columns) {
    return text.substr(0, FitIn(text, columns).bytes);
}

}  // namespace host
