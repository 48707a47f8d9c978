// CursesView: the live minimap on a terminal (ncurses).
//
// Reports arrive from any thread (Show, AddLogLine) and are kept under the view's own leaf
// lock; only the main thread, inside Run, touches the terminal. The picture is redrawn when a
// report came in, a key was pressed or the status changed, at most every 100 ms: the stores
// are read then, once per picture, not once per event.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/MarkerSnapshot.h"
#include "host/MiniMapView.h"

namespace host {

/// What the status lines show.
struct LiveStatus {
    std::string server;
    bool connected = false;
    bool polling = false;
    /// The poll interval in seconds (the minimap's 5000 times the timer scale).
    double pollSeconds = 5;
    bool battle = false;
    unsigned role = 1;
    /// The kind the next query asks for.
    std::int32_t queryArg = -1;
    /// The kind the last query sent asked for; none before the first.
    std::optional<std::int32_t> askedArg;
};

/// What the keys do.
class LiveControls {
public:
    virtual ~LiveControls() = default;
    virtual LiveStatus GetStatus() = 0;
    virtual void TogglePolling() = 0;
    virtual void ToggleBattle() = 0;
    virtual void SendQuery() = 0;
    virtual void ChangeQueryArg(int delta) = 0;
    virtual void ResetRole() = 0;
    /// The stores now, for drawing.
    virtual MarkerSnapshot GetMarkers() = 0;
};

class CursesView {
public:
    /// `kindNames[k]` labels NPC kind k (the element names of the string table); a kind
    /// without a name is shown as its number.
    explicit CursesView(std::vector<std::string> kindNames);
    ~CursesView();

    CursesView(const CursesView&) = delete;
    CursesView& operator=(const CursesView&) = delete;

    /// Any thread: counts the event and asks for a redraw; `answer` is the query store at
    /// QueryFinished. Redraws are coalesced: the picture reads the stores when it is drawn,
    /// a few times a second at most, however many events came in.
    void Show(ViewEvent event, std::vector<NpcRow> answer);
    /// Any thread; keeps the last few lines for the bottom of the screen.
    void AddLogLine(const std::string& line);

    /// Main thread: takes over the terminal until `q` is pressed or `shouldStop` answers true
    /// (asked a few times a second), then gives it back.
    void Run(LiveControls& controls, const std::function<bool()>& shouldStop);

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

/// Whether the terminal on standard output is one the map can be drawn on: its type (TERM) is
/// in the terminal database and can move the cursor (not "dumb", say). Otherwise false, with
/// why. CursesView::Run would end the whole process on a type the database lacks, and draw
/// garbage on one that cannot address the cursor, so ask first.
bool CanDrawMap(std::string& why);

/// What the map's key loop can read from a descriptor.
enum class KeyInput {
    Keys,  ///< a terminal, or a pipe or socket that has not ended
    None,  ///< nothing ever again: a file, /dev/null, a pipe that ended
    Gone,  ///< a terminal that hung up: the screen is gone too
};

/// Where `fd` stands now. Reading keys from an input that has ended answers at once, for
/// ever, so the loop waits instead (None) or ends with its terminal (Gone).
KeyInput CheckKeyInput(int fd);

/// The longest start of `text` that takes at most `width` columns on the terminal, under
/// the process's locale: a wide character (CJK, most emoji) takes two, a combining mark none.
std::string FitColumns(const std::string& text, std::size_t width);

/// The map as text rows, as the live view draws it (without the frame): empty cells are
/// spaces, players are '@',
/// NPCs the letters A, B, ... in the order of `snapshot.npcs`, '*' where several markers share
/// a cell. Coordinates span 0..100 on both axes unless a marker lies outside, then the span
/// grows to hold it; y grows upwards.
std::vector<std::string> DrawMap(const MarkerSnapshot& snapshot, int width, int height);

}  // namespace host
