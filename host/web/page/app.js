// The live map: applies the event stream's change lines (docs/events.md) to three stores and
// draws them. Everything from the server is shown as text (textContent, canvas fillText),
// never parsed as markup.
'use strict';

(() => {
  const kindColours = ['#9aa4ad', '#3f8f3a', '#2f6fb5', '#c8462c', '#a07a2c', '#777777'];
  const state = {
    connection: 'connecting',
    serial: null,
    snapshotSerial: null,
    players: new Map(),
    npcs: new Map(),
    query: new Map(),
    kinds: [],
    status: null,
    counters: { markersChanged: 0, answers: 0, roleResets: 0 },
    // The query kind the client said last: the list shows it when it changes, and otherwise
    // keeps what the user picked.
    shownKind: null,
    lines: 0,
    changes: 0,
    gaps: 0,
    refused: 0,
    notice: null,
    draws: 0,
    markersDrawn: 0,
  };
  // What the page shows, for tests and for anyone debugging it from the console.
  window.__minimapState = state;

  const $ = (id) => document.getElementById(id);
  const canvas = $('map');

  // A server's name in running text: isolated, so that right-to-left text or a direction
  // override inside it cannot reorder what follows (a kind, a quest number).
  const isolate = (name) => '\u2068' + name + '\u2069';

  // 64-bit ids do not fit a JavaScript number: read them as strings before parsing. Only a
  // member named "id" matches (inside a JSON string the quotes would be escaped).
  const parse = (text) => JSON.parse(text.replace(/"id":(\d+)/g, '"id":"$1"'));

  function apply(line) {
    if (line.version !== 1) {
      state.refused++;
      return;
    }
    if (line.event !== 'Snapshot' && state.serial !== null && line.serial !== state.serial + 1) {
      state.gaps++;
    }
    state.serial = line.serial;
    for (const c of line.changes) {
      const store = state[c.store];
      if (!(store instanceof Map)) continue;
      if (c.op === 'clear') store.clear();
      else if (c.op === 'remove') store.delete(c.id);
      else if (c.op === 'set') {
        const record = { x: c.x, y: c.y };
        if (c.store !== 'players') Object.assign(record, { name: c.name, kind: c.kind, quest: c.quest });
        store.set(c.id, record);
      }
    }
    if (line.event === 'MarkersChanged') state.counters.markersChanged++;
    else if (line.event === 'QueryFinished') state.counters.answers++;
    else if (line.event === 'RoleReset') state.counters.roleResets++;
    state.lines++;
    state.changes += line.changes.length;
  }

  function kindName(kind) {
    const name = state.kinds[kind];
    return name ? name : 'kind ' + kind;
  }

  function bounds() {
    let lo = 0, hi = 100;
    for (const store of [state.players, state.npcs, state.query]) {
      for (const r of store.values()) {
        for (const v of [r.x, r.y]) {
          if (v === null) continue;
          lo = Math.min(lo, v);
          hi = Math.max(hi, v);
        }
      }
    }
    return { lo, span: hi - lo || 1 };
  }

  function drawMap() {
    const ratio = window.devicePixelRatio || 1;
    const w = canvas.clientWidth, h = canvas.clientHeight;
    if (canvas.width !== Math.round(w * ratio) || canvas.height !== Math.round(h * ratio)) {
      canvas.width = Math.round(w * ratio);
      canvas.height = Math.round(h * ratio);
    }
    const g = canvas.getContext('2d');
    g.setTransform(ratio, 0, 0, ratio, 0, 0);
    g.clearRect(0, 0, w, h);
    const { lo, span } = bounds();
    const pad = 24, size = Math.max(10, Math.min(w, h) - 2 * pad);
    const ox = (w - size) / 2, oy = (h - size) / 2;
    const px = (x) => ox + ((x - lo) / span) * size;
    const py = (y) => oy + size - ((y - lo) / span) * size; // y grows upwards
    g.strokeStyle = '#b8aa8c';
    g.strokeRect(ox, oy, size, size);
    g.font = '12px system-ui, sans-serif';
    g.textBaseline = 'middle';
    let drawn = 0;
    for (const [id, n] of state.npcs) {
      if (n.x === null || n.y === null) continue;
      const x = px(n.x), y = py(n.y);
      if (state.query.has(id)) {
        g.beginPath();
        g.arc(x, y, 11, 0, 2 * Math.PI);
        g.fillStyle = 'rgba(245, 197, 24, 0.6)';
        g.fill();
      }
      g.beginPath();
      g.arc(x, y, 6, 0, 2 * Math.PI);
      g.fillStyle = kindColours[n.kind] || '#444';
      g.fill();
      g.fillStyle = '#222';
      g.fillText(isolate(n.name) + ' (' + kindName(n.kind) + ')', x + 9, y);
      if (n.quest !== -1) {
        g.fillStyle = '#d08a00';
        g.font = 'bold 14px system-ui, sans-serif';
        g.fillText('!', x - 2, y - 14);
        g.font = '12px system-ui, sans-serif';
      }
      drawn++;
    }
    for (const [, p] of state.players) {
      if (p.x === null || p.y === null) continue;
      g.beginPath();
      g.arc(px(p.x), py(p.y), 5, 0, 2 * Math.PI);
      g.fillStyle = '#1b4fa0';
      g.fill();
      g.strokeStyle = 'white';
      g.stroke();
      drawn++;
    }
    state.draws++;
    state.markersDrawn += drawn;
  }

  function cell(row, text) {
    const td = document.createElement('td');
    td.textContent = text;
    row.appendChild(td);
  }

  // The table lists the first NPCs only: thousands of rows rebuilt every frame would cost more
  // than the map itself.
  const tableRows = 200;

  function drawPanel() {
    const body = $('npcs').tBodies[0];
    const rows = [];
    for (const [id, n] of state.npcs) {
      if (rows.length === tableRows) break;
      const tr = document.createElement('tr');
      tr.dataset.id = id;
      if (state.query.has(id)) tr.className = 'answer';
      cell(tr, n.name);
      tr.firstChild.title = n.name;
      cell(tr, kindName(n.kind));
      cell(tr, String(n.x));
      cell(tr, String(n.y));
      cell(tr, n.quest === -1 ? '' : String(n.quest));
      rows.push(tr);
    }
    body.replaceChildren(...rows);
    $('npcs-more').textContent =
      state.npcs.size > tableRows ? 'and ' + (state.npcs.size - tableRows) + ' more on the map' : '';
    const answer = [];
    for (const [id, n] of state.query) {
      const li = document.createElement('li');
      li.dataset.id = id;
      li.textContent =
        isolate(n.name) + ', ' + kindName(n.kind) + (n.quest === -1 ? '' : ', quest ' + n.quest);
      answer.push(li);
    }
    $('answer').replaceChildren(...answer);
    $('count-markers').textContent = state.counters.markersChanged;
    $('count-answers').textContent = state.counters.answers;
    $('count-resets').textContent = state.counters.roleResets;
    $('count-players').textContent = state.players.size;
    $('count-npcs').textContent = state.npcs.size;
    const s = state.status;
    if (state.connection !== 'open') {
      // What the client last said may no longer hold: it is gone, or coming back.
      $('server').textContent = 'the client does not answer';
    } else if (s) {
      $('server').textContent = (s.connected ? 'connected to ' : 'no connection to ') + s.server;
    }
    if (s) {
      $('role').textContent = s.role;
      $('poll').classList.toggle('on', s.polling);
      $('poll').textContent = 'Polling ' + (s.polling ? 'on' : 'off');
      $('battle').classList.toggle('on', s.battle);
      $('battle').textContent = 'Battle ' + (s.battle ? 'on' : 'off');
      if (s.queryKind !== state.shownKind) {
        state.shownKind = s.queryKind;
        showKind(s.queryKind);
      }
    }
    const c = $('connection');
    c.textContent = state.connection;
    c.className = 'state ' + state.connection;
    const notice = $('notice');
    notice.hidden = state.notice === null;
    notice.textContent = state.notice || '';
  }

  // Lines may come faster than frames: draw at most once per frame.
  let pending = false;
  function redraw() {
    if (pending) return;
    pending = true;
    requestAnimationFrame(() => {
      pending = false;
      drawMap();
      drawPanel();
    });
  }
  window.addEventListener('resize', redraw);

  function kindOption(k) {
    const o = document.createElement('option');
    o.value = String(k);
    o.textContent = k === -1 ? 'all' : k + ' ' + kindName(k);
    return o;
  }

  // Every kind a query from here may ask for, -1 (all) to 99, as the keys allow.
  function fillKinds() {
    const select = $('query-kind');
    const chosen = select.value;
    const options = [];
    for (let k = -1; k <= 99; k++) options.push(kindOption(k));
    select.replaceChildren(...options);
    if (chosen !== '') select.value = chosen;
    if (state.shownKind !== null) showKind(state.shownKind);
  }

  // The client's kind in the list, with an entry of its own when the list has none (a kind
  // given on the client's command line beyond 99).
  function showKind(k) {
    const select = $('query-kind');
    if (![...select.options].some((o) => o.value === String(k))) select.appendChild(kindOption(k));
    select.value = String(k);
  }

  // The page's name for itself, so that the server can say so when it dropped this page.
  let pageId = sessionStorage.getItem('minimap-page');
  if (!pageId) {
    const bytes = crypto.getRandomValues(new Uint8Array(12));
    pageId = Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
    sessionStorage.setItem('minimap-page', pageId);
  }

  let socket = null;
  function connect() {
    state.connection = 'connecting';
    socket = new WebSocket('ws://' + location.host + '/ws?id=' + pageId);
    socket.onopen = () => {
      // A notice belongs to the connection it came with (it comes first, if at all).
      state.connection = 'open';
      state.notice = null;
      redraw();
    };
    socket.onmessage = (e) => {
      let m;
      try { m = parse(e.data); } catch (err) { state.refused++; return; }
      if (m.changes) {
        if (m.event === 'Snapshot') {
          // Counters run from the page's connection: the client may be another one now.
          state.snapshotSerial = m.serial;
          state.counters = { markersChanged: 0, answers: 0, roleResets: 0 };
        }
        apply(m);
      } else if (m.status) {
        state.status = m.status;
      } else if (m.kinds) {
        state.kinds = m.kinds;
        fillKinds();
      } else if (m.notice) {
        state.notice = m.text;
      }
      redraw();
    };
    socket.onclose = () => {
      state.connection = 'closed';
      redraw();
      setTimeout(connect, 1000);
    };
  }

  function send(text) {
    if (socket && socket.readyState === WebSocket.OPEN) socket.send(text);
  }
  $('poll').addEventListener('click', () => send('poll ' + (state.status && state.status.polling ? 'off' : 'on')));
  $('battle').addEventListener('click', () => send('battle ' + (state.status && state.status.battle ? 'off' : 'on')));
  $('query').addEventListener('click', () => send('query ' + $('query-kind').value));
  $('reset').addEventListener('click', () => send('reset'));

  fillKinds();
  connect();
  redraw();
})();
