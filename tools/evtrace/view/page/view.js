// The viewer's page. Every text that came from an event, the event
// database or the session is put into the page with textContent, never as
// markup. Rows are kept in arrays (at most CAP, oldest dropped first) and
// drawn as a virtual list: only the rows in sight exist as elements, redrawn
// once per frame at most, so thousands of events per second stay smooth.
'use strict';
(() => {
  const token = new URLSearchParams(location.search).get('token') || '';
  const CAP = 10000;        // rows kept in the page
  const ROW = 22;           // row height in pixels (the stylesheet's --row)
  const OVERSCAN = 8;
  const $ = (id) => document.getElementById(id);
  const LANGS = { ENU: 'en', DEU: 'de', FRA: 'fr', ESN: 'es', ITA: 'it', NLD: 'nl', PTB: 'pt-BR', PTG: 'pt',
                  SVE: 'sv', DAN: 'da', FIN: 'fi', NOR: 'no', PLK: 'pl', CSY: 'cs', HUN: 'hu', RUS: 'ru',
                  TRK: 'tr', ELL: 'el', JPN: 'ja', KOR: 'ko', CHS: 'zh-Hans', CHT: 'zh-Hant', ARA: 'ar', HEB: 'he' };

  let meta = { severities: ['Success', 'Information', 'Error', 'Warning'], domains: [] };
  let rows = [];            // kept events, oldest first
  let shown = [];           // the kept events that match the filters, oldest first
  let pending = [];         // events that came while paused
  let paused = false;
  let received = 0, gaps = 0, lastId = 0, pageDrops = 0, viewerLost = 0;
  let selected = null;
  let filter = null;
  let drawQueued = false;
  const sources = new Set();
  const alertInfo = new Map();  // code -> {title, description, topic, hints} once known

  function url(path, extra) {
    return path + '?token=' + encodeURIComponent(token) + (extra ? '&' + extra : '');
  }
  async function getJson(path, extra) {
    const response = await fetch(url(path, extra), { cache: 'no-store' });
    if (!response.ok) throw new Error(await response.text());
    return response.json();
  }
  function el(tag, text, cls) {
    const e = document.createElement(tag);
    if (text !== undefined && text !== null) e.textContent = String(text);
    if (cls) e.className = cls;
    return e;
  }
  function clear(node) { while (node.firstChild) node.removeChild(node.firstChild); }
  function hex(code) { return '0x' + (code >>> 0).toString(16).padStart(8, '0'); }
  function pad(n, w) { return String(n).padStart(w || 2, '0'); }
  function clock(ms) {
    const d = new Date(ms);
    return pad(d.getHours()) + ':' + pad(d.getMinutes()) + ':' + pad(d.getSeconds()) + '.' + pad(d.getMilliseconds(), 3);
  }
  function stamp(ms) {
    const d = new Date(ms);
    return d.getFullYear() + '-' + pad(d.getMonth() + 1) + '-' + pad(d.getDate()) + ' ' + clock(ms);
  }
  function severityName(v) { return meta.severities[v] || String(v); }
  function domainName(m) { return meta.domains[m] || String(m); }
  function notice(text) { $('notice').textContent = text; }

  // ---- Filters ------------------------------------------------------------
  function parseCodes(text) {
    const codes = new Set();
    for (const part of text.split(/[\s,]+/)) {
      if (!part) continue;
      const n = /^0x[0-9a-f]+$/i.test(part) ? parseInt(part.slice(2), 16) : /^\d+$/.test(part) ? Number(part) : NaN;
      if (!Number.isFinite(n) || n > 0xFFFFFFFF) return null;
      codes.add(n);
    }
    return codes;
  }
  function readFilter() {
    const codeText = $('f-code').value.trim();
    const codes = parseCodes(codeText);
    $('f-code').classList.toggle('bad', codes === null);
    const sev = $('f-severity').value, dom = $('f-domain').value;
    return {
      source: $('f-source').value.trim().toLowerCase(),
      severity: sev === '' ? -1 : Number(sev),
      domains: dom === '' ? null : new Set(dom.split(',').map(Number)),
      codes: codes && codes.size ? codes : null,
      text: $('f-text').value.toLowerCase(),
      alerts: $('f-alerts').checked,
    };
  }
  function matches(e) {
    const f = filter;
    if (f.alerts && !e.al) return false;
    if (f.severity >= 0 && e.v !== f.severity) return false;
    if (f.domains && !f.domains.has(e.m)) return false;
    if (f.codes && !f.codes.has(e.c)) return false;
    if (f.source && !e.s.toLowerCase().includes(f.source)) return false;
    if (f.text && !e.x.toLowerCase().includes(f.text)) return false;
    return true;
  }
  let refilterTimer = 0;
  function refilter() {
    clearTimeout(refilterTimer);
    refilterTimer = setTimeout(() => {
      filter = readFilter();
      shown = rows.filter(matches);
      $('viewport').scrollTop = 0;
      queueDraw();
    }, 60);
  }

  // ---- Events ---------------------------------------------------------------
  function take(batch) {
    if (typeof batch.d === 'number') pageDrops = batch.d;
    for (const e of batch.e) {
      if (e.i <= lastId) continue;  // already had it (a reconnect's backlog)
      if (lastId && e.i > lastId + 1) gaps += e.i - lastId - 1;
      lastId = e.i;
      received++;
      countRate(1);
      if (paused) {
        pending.push(e);
        if (pending.length > CAP) pending.splice(0, pending.length - CAP);
      } else {
        add(e);
      }
    }
    trim();
    queueDraw();
  }
  function add(e) {
    rows.push(e);
    let added = 0;
    if (matches(e)) { shown.push(e); added = 1; }
    if (e.s && !sources.has(e.s) && sources.size < 500) {
      sources.add(e.s);
      $('sources').appendChild(el('option')).value = e.s;
    }
    if (e.al && !alertInfo.has(e.c)) lookUpAlert(e.c);
    // Keep the rows in sight where they are when the reader scrolled down.
    const vp = $('viewport');
    if (added && vp.scrollTop > 0) vp.scrollTop += ROW;
  }
  function trim() {
    if (rows.length <= CAP) return;
    const cut = rows.length - CAP;
    const oldest = rows[cut].i;
    rows.splice(0, cut);
    let k = 0;
    while (k < shown.length && shown[k].i < oldest) k++;
    if (k) shown.splice(0, k);
  }

  let rateCount = 0, rateShown = 0, rateSince = performance.now();
  function countRate(n) { rateCount += n; }
  setInterval(() => {
    const now = performance.now();
    rateShown = Math.round(rateCount * 1000 / Math.max(1, now - rateSince));
    rateCount = 0; rateSince = now;
    $('rate').textContent = rateShown.toLocaleString();
  }, 1000);

  // ---- Drawing ------------------------------------------------------------
  const pool = [];
  function makeRow() {
    const r = el('div', null, 'row');
    for (const cls of ['t', 's', 'v', 'm', 'c', 'x']) r.appendChild(el('span', null, cls));
    r.children[5].appendChild(el('span', null, 'tag'));
    r.children[5].appendChild(el('span'));
    $('rows').appendChild(r);
    return r;
  }
  function queueDraw() {
    if (drawQueued) return;
    drawQueued = true;
    requestAnimationFrame(draw);
  }
  function draw() {
    drawQueued = false;
    const vp = $('viewport');
    $('spacer').style.height = (shown.length * ROW) + 'px';
    const first = Math.max(0, Math.floor(vp.scrollTop / ROW) - OVERSCAN);
    const count = Math.min(shown.length - first, Math.ceil(vp.clientHeight / ROW) + 2 * OVERSCAN);
    while (pool.length < count) pool.push(makeRow());
    for (let k = 0; k < pool.length; k++) {
      const r = pool[k];
      if (k >= count) { r.hidden = true; continue; }
      const j = first + k;                     // 0 is the newest
      const e = shown[shown.length - 1 - j];
      r.hidden = false;
      r.style.top = (j * ROW) + 'px';
      r.dataset.id = e.i;
      const c = r.children;
      c[0].textContent = clock(e.t);
      c[1].textContent = e.s;
      c[2].textContent = severityName(e.v);
      c[2].className = 'v v' + e.v;
      c[3].textContent = domainName(e.m);
      c[4].textContent = hex(e.c);
      const info = e.al ? alertInfo.get(e.c) : null;
      c[5].firstChild.hidden = !e.al;
      c[5].firstChild.textContent = e.al ? (info && info.title ? info.title : 'alert') : '';
      c[5].lastChild.textContent = e.x;
      c[5].title = e.x;
      r.className = 'row' + (e.al ? ' alert' : '') + (selected && selected.i === e.i ? ' sel' : '');
    }
    $('empty').hidden = shown.length > 0;
    $('empty').textContent = rows.length ? 'No event matches the filters.' : 'Waiting for events…';
    $('count-shown').textContent = shown.length.toLocaleString();
    $('count-filtered').textContent = (rows.length - shown.length).toLocaleString();
    $('count-received').textContent = received.toLocaleString();
    const lost = gaps + viewerLost;
    $('count-lost').textContent = lost.toLocaleString();
    $('lost-box').classList.toggle('has', lost > 0);
    $('count-dropped').textContent = pageDrops ? ' (' + pageDrops.toLocaleString() + ' dropped while the page was behind)' : '';
    $('lost-box').title = 'Events that never reached this page: ' + gaps + ' missed by this page (' + pageDrops +
      ' dropped by the viewer while the page was behind), ' + viewerLost + ' lost by the session for the viewer';
    $('pause').textContent = paused ? 'Resume (' + pending.length.toLocaleString() + ' waiting)' : 'Pause';
    $('pause').classList.toggle('on', paused);
  }

  // ---- Details and alerts -------------------------------------------------
  async function lookUpAlert(code) {
    alertInfo.set(code, null);
    try {
      alertInfo.set(code, await getJson('api/alert', 'code=' + code));
      queueDraw();
      if (selected && selected.c === code) showDetails(selected);
    } catch (err) {
      alertInfo.delete(code);
    }
  }
  function field(dl, name, value) {
    if (value === undefined || value === null || value === '') return;
    dl.appendChild(el('dt', name));
    dl.appendChild(el('dd', value));
  }
  function showDetails(e) {
    const body = $('detail-body');
    clear(body);
    const dl = el('dl');
    field(dl, 'Time', stamp(e.t));
    field(dl, 'Source', e.s);
    field(dl, 'User', e.u);
    field(dl, 'Severity', severityName(e.v));
    field(dl, 'Domain', domainName(e.m));
    field(dl, 'Code', hex(e.c) + ' (' + e.c + ')');
    field(dl, 'Type', e.y);
    field(dl, 'String A', e.a);
    field(dl, 'String B', e.b);
    field(dl, 'Text', e.n ? e.x + ' … (' + e.n + ' bytes; the downloads hold all of it)' : e.x);
    body.appendChild(dl);
    if (!e.al) return;
    const info = alertInfo.get(e.c);
    const help = el('div', null, 'help');
    help.id = 'alert-help';
    if (!info) {
      help.appendChild(el('p', 'Alert: looking up its help…'));
    } else if (!info.found) {
      help.appendChild(el('p', 'Alert ' + hex(e.c) + ': the event database has no help for it.'));
    } else {
      help.appendChild(el('h3', info.title || ('Alert ' + hex(e.c))));
      if (info.description) help.appendChild(el('p', info.description));
      if (info.hints.length) {
        help.appendChild(el('p', 'What to do:'));
        const ul = el('ul');
        ul.id = 'alert-hints';
        for (const h of info.hints) ul.appendChild(el('li', h));
        help.appendChild(ul);
      }
      if (info.topic) help.appendChild(el('p', 'Help topic: ' + info.topic, 'hint'));
    }
    body.appendChild(help);
  }
  $('rows').addEventListener('click', (ev) => {
    const r = ev.target.closest('.row');
    if (!r) return;
    const id = Number(r.dataset.id);
    selected = shown.find((e) => e.i === id) || null;
    if (selected) showDetails(selected);
    queueDraw();
  });

  async function refreshHistory() {
    const body = $('history-body');
    let h;
    try { h = await getJson('api/history'); } catch (err) { return; }
    clear(body);
    if (!h.available) {
      body.appendChild(el('p', 'No history available. ' + h.reason, 'hint'));
      return;
    }
    if (!h.records.length) {
      body.appendChild(el('p', 'The alert history is empty.', 'hint'));
      return;
    }
    const table = el('table');
    for (const r of h.records) {  // newest first, as the library gives them
      const tr = el('tr');
      tr.appendChild(el('td', stamp(r.t)));
      tr.appendChild(el('td', r.title || hex(r.c)));
      tr.appendChild(el('td', r.s));
      table.appendChild(tr);
    }
    body.appendChild(table);
    if (h.total > h.records.length) body.appendChild(el('p', h.records.length + ' of ' + h.total + ' shown', 'hint'));
  }

  // ---- Session statistics -----------------------------------------------
  let lastWritten = null, lastSampled = 0, viewerLostBefore = null;
  async function refreshStatus() {
    let s;
    try { s = await getJson('api/status'); } catch (err) { setMode('disconnected', 'waiting'); return; }
    // What the session lost for the viewer before this page opened is not
    // this page's loss.
    if (viewerLostBefore === null) viewerLostBefore = s.viewerLost;
    viewerLost = s.viewerLost - viewerLostBefore;
    const modes = { live: 'live', snapshot: 'engine snapshots', waiting: 'session not running' };
    setMode(modes[s.mode] || s.mode, s.mode);
    const dl = $('stats-body');
    clear(dl);
    if (!s.session) {
      field(dl, 'Session', s.queried ? 'not running' : s.queryError);
    } else {
      const x = s.session;
      let rate = '';
      if (lastWritten !== null && s.sampledAt > lastSampled) {
        rate = Math.max(0, Math.round((x.written - lastWritten) / (s.sampledAt - lastSampled))).toLocaleString() + ' events/s';
      }
      if (s.sampledAt !== lastSampled) { lastWritten = x.written; lastSampled = s.sampledAt; }
      field(dl, 'Session', x.name);
      field(dl, 'Rate', rate || '…');
      field(dl, 'Written', x.written.toLocaleString());
      field(dl, 'Lost', x.lost.toLocaleString() + (x.realtimeLost ? ' (real-time ' + x.realtimeLost.toLocaleString() + ')' : ''));
      field(dl, 'Buffers', x.buffers + ' × ' + x.bufferKB + ' KB');
      const consumers = x.consumers.map((c) => 'process ' + c.pid + (c.viewer ? ' (this viewer)' : '') +
        (c.alive ? '' : ' (gone)') + ': ' + c.delivered.toLocaleString() + ' delivered, ' + c.lost.toLocaleString() + ' lost');
      field(dl, 'Consumers', consumers.length + (consumers.length ? '\n' + consumers.join('\n') : ''));
      field(dl, 'Providers', x.providersEnabled + ' enabled' +
        (s.providers.length ? '; registered: ' + s.providers.join(', ') : ''));
    }
    field(dl, 'Viewer', s.received.toLocaleString() + ' received, ' + s.kept.toLocaleString() + ' kept, ' + s.pages + ' page(s)');
    if (s.mode === 'snapshot') {
      field(dl, 'Snapshots', s.snapshots + ' taken (no consumer slot was free; one every ~10 s)' +
        (s.snapshotError ? '; ' + s.snapshotError : ''));
    }
    queueDraw();
  }
  function setMode(text, cls) {
    const m = $('mode');
    m.textContent = text;
    m.className = 'badge ' + cls;
  }

  // ---- Actions --------------------------------------------------------------
  $('pause').addEventListener('click', () => {
    paused = !paused;
    if (!paused) {
      for (const e of pending) add(e);
      pending = [];
      trim();
    }
    queueDraw();
  });
  $('clear').addEventListener('click', () => {
    rows = []; shown = []; pending = []; selected = null;
    clear($('detail-body'));
    queueDraw();
  });
  function idRanges() {
    const parts = [];
    let from = -1, to = -1;
    for (const e of shown) {  // ascending ids
      if (e.i === to + 1) { to = e.i; continue; }
      if (from >= 0) parts.push(from === to ? String(from) : from + '-' + to);
      from = to = e.i;
    }
    if (from >= 0) parts.push(from === to ? String(from) : from + '-' + to);
    return parts.join(',');
  }
  async function download(format) {
    if (!shown.length) { notice('Nothing is shown, so there is nothing to download.'); return; }
    notice('Writing ' + shown.length.toLocaleString() + ' events…');
    try {
      const response = await fetch(url('api/download', 'format=' + format), {
        method: 'POST', body: idRanges(), headers: { 'Content-Type': 'text/plain' } });
      if (!response.ok) { notice('The download failed: ' + await response.text()); return; }
      const blob = await response.blob();
      const missing = Number(response.headers.get('X-Evtrace-Missing') || 0);
      const count = Number(response.headers.get('X-Evtrace-Records') || 0);
      const a = el('a');
      a.href = URL.createObjectURL(blob);
      const d = new Date();
      a.download = 'evtrace-' + d.getFullYear() + pad(d.getMonth() + 1) + pad(d.getDate()) + '-' +
        pad(d.getHours()) + pad(d.getMinutes()) + pad(d.getSeconds()) + '.' + format;
      document.body.appendChild(a);
      a.click();
      a.remove();
      setTimeout(() => URL.revokeObjectURL(a.href), 60000);
      notice(count.toLocaleString() + ' events downloaded' +
        (missing ? '; ' + missing.toLocaleString() + ' shown rows are no longer held by the viewer and are not in the file' : '') + '.');
    } catch (err) {
      notice('The download failed: ' + err.message);
    }
  }
  $('download-bin').addEventListener('click', () => download('bin'));
  $('download-csv').addEventListener('click', () => download('csv'));
  for (const id of ['f-source', 'f-code', 'f-text']) $(id).addEventListener('input', refilter);
  for (const id of ['f-severity', 'f-domain', 'f-alerts']) $(id).addEventListener('change', refilter);
  $('viewport').addEventListener('scroll', queueDraw, { passive: true });
  window.addEventListener('resize', queueDraw);

  // ---- Start ------------------------------------------------------------------
  function connect() {
    const stream = new EventSource(url('events', lastId ? 'after=' + lastId : ''));
    stream.addEventListener('hello', () => setMode('connected', 'live'));
    stream.onmessage = (m) => {
      let batch;
      try { batch = JSON.parse(m.data); } catch (err) { return; }
      const before = rows.length;
      take(batch);
      if (batch.e.some((e) => e.al) || (before === 0 && rows.length)) scheduleHistory();
    };
    stream.onerror = () => setMode('reconnecting', 'waiting');
  }
  let historyTimer = 0;
  function scheduleHistory() {
    clearTimeout(historyTimer);
    historyTimer = setTimeout(refreshHistory, 700);
  }
  async function start() {
    filter = readFilter();
    try {
      meta = await getJson('api/meta');
    } catch (err) {
      notice('The viewer refused this page: ' + err.message);
      return;
    }
    $('session').textContent = '— ' + meta.session;
    if (LANGS[meta.language]) document.documentElement.lang = LANGS[meta.language];
    meta.severities.forEach((name, v) => { $('f-severity').appendChild(el('option', name)).value = v; });
    // Domains that share a name ("Unknown") are one choice.
    const byName = new Map();
    meta.domains.forEach((name, m) => byName.set(name, (byName.has(name) ? byName.get(name) + ',' : '') + m));
    for (const [name, values] of byName) $('f-domain').appendChild(el('option', name)).value = values;
    filter = readFilter();
    connect();
    refreshStatus();
    refreshHistory();
    setInterval(refreshStatus, 1000);
    setInterval(refreshHistory, 10000);
    queueDraw();
  }
  start();
})();
