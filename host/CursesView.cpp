#include "host/CursesView.h"

#include <ncurses.h>

#include <langinfo.h>
#include <algorithm>
#include <clocale>
#include <cmath>
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

/// `text` cut to at most `bytes` bytes without splitting a UTF-8 sequence.
std::string Cut(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes) {
        return text;
    }
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0u) == 0x80u) {
        --end;
    }
    return text.substr(0, end);
}

std::string Fixed1(float v) {
    if (!std::isfinite(v)) {
        return "?";
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", static_cast<double>(v));
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
    std::mutex mutex;  ///< a leaf lock: reports come in under the client core lock
    std::vector<NpcRow> lastAnswer;
    bool haveAnswer = false;
    std::uint64_t changes = 0;
    std::uint64_t answers = 0;
    std::uint64_t resets = 0;
    std::deque<std::string> log;
    bool dirty = true;
    bool color = false;

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
        mvaddstr(y, x, Cut(text, static_cast<std::size_t>(maxCols)).c_str());
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
        Put(y++, px, "Legend: @ player  A-Z NPC  * several", pw);
        Put(y++, px, "NPCs (" + std::to_string(s.npcs.size()) + ")", pw, 2);
        for (std::size_t i = 0; i < s.npcs.size() && y < 2 + mapHeight - 4; ++i) {
            const NpcRow& n = s.npcs[i];
            // Names are the server's bytes: escaped, so that a control character neither moves
            // the cursor nor shows as something else.
            std::string line =
                std::string(1, NpcLetter(i)) + " " + Cut(capture::EscapeText(n.name), 18);
            line.resize(std::max<std::size_t>(line.size(), 21), ' ');
            line += KindName(n.kind);
            if (n.quest != -1) {
                line += "  quest " + std::to_string(n.quest);
            }
            Put(y++, px, line, pw);
        }
        Put(y++, px, "Players (" + std::to_string(s.players.size()) + ")", pw, 1);
        for (std::size_t i = 0; i < s.players.size() && y < 2 + mapHeight; ++i) {
            const PlayerRow& p = s.players[i];
            Put(y++, px,
                "@ " + std::to_string(p.id) + "  (" + Fixed1(p.x) + ", " + Fixed1(p.y) + ")", pw);
        }

        // Status lines.
        int fy = 3 + mapHeight;
        std::string query = "Last query (kind " + std::to_string(status.queryArg) + "): ";
        if (!answered) {
            query += "none yet, press f";
        } else if (answer.empty()) {
            query += "no NPC";
        } else {
            query += std::to_string(answer.size()) + " NPC" + (answer.size() == 1 ? ": " : "s: ");
            for (std::size_t i = 0; i < answer.size(); ++i) {
                query +=
                    (i != 0 ? ", " : "") + capture::EscapeText(answer[i].name) + " (" +
                    KindName(answer[i].kind) +
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
        Put(fy++, 0, "Keys: p polling  b battle  f query  [ ] query kind  r role reset  q quit",
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
    if (std::string(nl_langinfo(CODESET)) != "UTF-8") {
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
    while (!shouldStop()) {
        const int key = getch();
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
                      status.role != shown.role || status.queryArg != shown.queryArg;
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

}  // namespace host
