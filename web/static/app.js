// Renders the application's state and sends the user's operations; decides nothing itself.
'use strict';

const page = location.pathname.replace(/^\//, '') || 'main';
let state = null;
const drawn = {};

// The access token comes once in the printed address; the tab keeps it in its session storage and
// sends it in a header, and the address bar loses it. No cookie: cookies reach every local port.
const tokenKey = 'tolverdine-token';
function takeToken() {
  const u = new URL(location.href);
  const t = u.searchParams.get('token');
  if (t) {
    sessionStorage.setItem(tokenKey, t);
    u.searchParams.delete('token');
    history.replaceState(null, '', u.pathname + u.search + u.hash);
  }
  return sessionStorage.getItem(tokenKey) || '';
}
let token = takeToken();

function h(tag, attrs, ...kids) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (v === null || v === undefined || v === false) continue;
    if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else if (k === 'class') e.className = v;
    else if (k === 'style') Object.assign(e.style, v);  // the policy forbids style attributes
    else e.setAttribute(k, v === true ? '' : v);
  }
  for (const k of kids.flat()) if (k !== null && k !== undefined && k !== false)
    e.append(typeof k === 'string' || typeof k === 'number' ? document.createTextNode(String(k)) : k);
  return e;
}

function say(text, bad) {
  const m = document.getElementById('message');
  m.textContent = text || '';
  m.hidden = !text;
  m.className = bad ? 'message bad' : 'message';
}

async function act(op, args, quiet) {
  try {
    const r = await fetch('/api/act', {
      method: 'POST',
      headers: {'Content-Type': 'application/json', 'X-Tolverdine-Token': token},
      body: JSON.stringify({op, args: args || {}}),
    });
    if (r.status === 403) { needToken(); return {ok: false}; }
    const j = await r.json();
    if (!quiet) say(j.ok ? (j.message || '') : j.message, !j.ok);
    return j;
  } catch (e) {
    say('요청 실패 — 서버에 닿지 않습니다: ' + e.message, true);
    return {ok: false};
  }
}

function gb(n) {
  return n >= 1e12 ? (n / 1e12).toFixed(1) + 'TB' : (n / 1e9).toFixed(1) + 'GB';
}
// A total under a gigabyte in megabytes, so a small card's numbers move too.
function size(n, total) {
  return total >= 1e9 ? gb(n) : (n / 1e6).toFixed(n >= 1e8 ? 0 : 1) + 'MB';
}
function rate(n) { return (n / 1e6).toFixed(0) + ' MB/s'; }
function eta(s) {
  s = Math.max(0, Math.round(s));
  const hr = Math.floor(s / 3600), m = Math.floor(s / 60) % 60;
  return '남은 시간 ' + (hr > 0 ? hr + '시간 ' : '') + (m > 0 || hr > 0 ? m + '분 ' : '') + (s % 60) + '초';
}
const set = v => v !== null && v !== undefined;

// ---- Cards ----

const marks = {green: '✓', yellow: '!', red: '✕', gray: '?', running: '↻', waiting: '…', reading: '…', queued: '…'};

function tone(c) { return c.phase === 'finished' ? c.color : c.phase; }

function cardAction(card, a, i) {
  // Taking a card off the list is never the highlighted step, even when it is the only one.
  const primary = i === 0 && a.op !== 'dismiss';
  return h('button', {class: 'act-' + a.op + (primary ? ' primary' : ''), onclick: async () => {
    if (a.op === 'exportTree') {
      const path = prompt('폴더 구조를 저장할 파일 경로', '');
      if (!path) return;
      const r = await act('exportTree', {id: card.id, path});
      if (r.askReplace && confirm(r.message + '\n바꿔 쓸까요?')) act('exportTree', {id: card.id, path, replace: true});
    } else if (a.op === 'report') {
      const r = await act('openReport', {key: card.report});
      if (r.ok) location.href = '/report';
    } else act(a.op, {id: card.id});
  }}, a.label);
}

function progressView(c) {
  const total = c.total > 0 ? c.total : 0;
  const copied = set(c.copied) ? c.copied : c.done;
  const pct = n => (total > 0 ? Math.min(100, 100 * n / total) : 0).toFixed(2) + '%';
  const bar = h('div', {class: 'bar', title: '복사 · 검증'},
    h('div', {class: 'fill copied', style: {width: pct(copied)}}),
    set(c.verified) ? h('div', {class: 'fill verified', style: {width: pct(c.verified)}}) : null);
  const nums = [c.stage ? c.stage : null, size(copied, total) + ' / ' + size(total, total)];
  if (c.fileCount) nums.push('파일 ' + c.filesDone + '/' + c.fileCount);
  if (set(c.verified)) nums.push('검증 ' + size(c.verified, total));
  if (set(c.rate)) nums.push(rate(c.rate));
  if (set(c.eta)) nums.push(eta(c.eta));
  return [bar, h('div', {class: 'nums'}, nums.filter(set).join(' · ')), h('div', {class: 'file'}, c.file || '')];
}

function phaseView(c) {
  switch (c.phase) {
    case 'reading': return h('div', {class: 'phase'}, '카드 읽는 중…');
    case 'queued': return h('div', {class: 'phase'}, c.wait || '차례를 기다리는 중');
    case 'waiting':
      return h('div', {class: 'phase'}, set(c.countdown) ? c.countdown + '초 뒤 자동 시작' : '시작을 기다림');
    case 'running': return h('div', {class: 'phase running'}, progressView(c));
    case 'finished': return h('div', {class: 'phase verdict ' + c.color}, c.text);
  }
  return h('div', {class: 'phase'}, c.phase);
}

function rootName(root) {
  const parts = root.split('/').filter(Boolean);
  return parts.slice(-2).join('/');
}

function outcomesView(list) {
  if (!list || !list.length) return null;
  return h('ul', {class: 'outcomes'}, list.map(d => h('li', {class: d.lost || d.failed ? 'bad' : 'ok', title: d.root},
    h('span', {class: 'path'}, rootName(d.root)), ' ',
    d.lost ? '연결 끊김' : [d.verified || !d.existing ? '검증 ' + d.verified + '개' : null,
      d.existing ? '이미 있음 ' + d.existing + '개' : null].filter(set).join(' · '),
    d.failed ? ' · 실패 ' + d.failed + '개' + (d.why ? ' — ' + d.why : '') : '')));
}

function cardView(c) {
  return h('li', {class: 'card ' + tone(c), 'data-id': c.id},
    h('div', {class: 'mark ' + tone(c), 'aria-hidden': 'true'}, marks[tone(c)] || '?'),
    h('div', {class: 'body'},
      h('div', {class: 'title'}, h('b', {}, c.name), ' ', h('span', {class: 'cam'}, c.cam || ''),
        c.camera ? h('span', {class: 'camera'}, ' · ' + c.camera) : null),
      phaseView(c),
      c.phase === 'finished' ? outcomesView(c.outcomes) : null,
      c.note ? h('div', {class: 'note'}, c.note) : null,
      c.link ? h('div', {class: 'link'}, c.link) : null,
      h('div', {class: 'buttons'}, (c.actions || []).map((a, i) => cardAction(c, a, i)))));
}

// What a card shows apart from its moving numbers: while it stays the same, the card is updated
// in place. A progress push every quarter second must not replace a button between the press
// and the release of the mouse on it, or the press is lost.
const movingKeys = ['done', 'copied', 'verified', 'rate', 'eta', 'file', 'stage', 'countdown', 'filesDone', 'fileCount'];
function cardShape(c) {
  const rest = {...c};
  for (const k of movingKeys) delete rest[k];
  return JSON.stringify(rest);
}

function cardsSection(s) {
  const el = document.getElementById('cards');
  if (!el) return;
  if (!s.cards.length) {
    section('cards', s.cards, () => h('p', {class: 'empty'}, '카드를 꽂으면 여기에 나타납니다'));
    return;
  }
  drawn.cards = null;
  let list = el.querySelector(':scope > ul.cards');
  if (!list) {
    list = h('ul', {class: 'cards'});
    el.replaceChildren(list);
  }
  const old = new Map([...list.children].map(li => [li.dataset.id, li]));
  let at = list.firstElementChild;
  for (const c of s.cards) {
    let li = old.get(c.id);
    old.delete(c.id);
    const shape = cardShape(c);
    if (li && li.dataset.shape === shape) {
      li.querySelector('.phase').replaceWith(phaseView(c));
    } else {
      const fresh = cardView(c);
      fresh.dataset.shape = shape;
      if (li) {
        if (at === li) at = fresh;
        li.replaceWith(fresh);
      }
      li = fresh;
    }
    if (li !== at) list.insertBefore(li, at);
    at = li.nextElementSibling;
  }
  for (const li of old.values()) li.remove();
}

function finishedView(s) {
  if (!s.finished.length) return h('p', {class: 'empty'}, '아직 끝난 카드가 없습니다');
  return h('ul', {class: 'finished'}, s.finished.map(f => h('li', {class: 'done ' + f.color, 'data-key': f.key},
    h('div', {class: 'mark small ' + f.color, 'aria-hidden': 'true'}, marks[f.color]),
    h('div', {class: 'body'},
      h('div', {class: 'title'}, h('b', {}, f.name), ' ', h('span', {class: 'cam'}, f.cam),
        f.camera ? h('span', {class: 'camera'}, ' · ' + f.camera) : null, ' ', h('span', {class: 'at'}, f.at)),
      h('div', {class: 'verdict ' + f.color}, f.text),
      outcomesView(f.outcomes),
      f.report ? h('button', {class: 'open-report', onclick: async () => {
        const r = await act('openReport', {key: f.key});
        if (r.ok) location.href = '/report';
      }}, '리포트') : null))));
}

function earlierView(s) {
  const rows = s.earlier || [];
  if (!rows.length) return h('p', {class: 'empty'}, '이 프로젝트의 이전 카드가 없습니다');
  return h('ul', {class: 'finished earlier'}, rows.map(e => h('li', {class: 'done ' + e.color, 'data-key': e.key},
    h('div', {class: 'mark small ' + e.color, 'aria-hidden': 'true'}, marks[e.color]),
    h('div', {class: 'body'},
      h('div', {class: 'title'}, h('b', {}, e.name), ' ', h('span', {class: 'cam'}, e.cam), ' ',
        h('span', {class: 'at'}, e.at)),
      h('div', {class: 'verdict ' + e.color}, e.text + ' · 파일 ' + e.files + '개'),
      h('div', {class: 'earlier-dests', title: e.dests.join('\n')}, '사본: ' + e.dests.map(d => d.split('/').pop()).join(' · ')),
      e.failed.length ? h('div', {class: 'note'}, e.failed.join(' · ')) : null,
      h('button', {class: 'open-report', onclick: async () => {
        const r = await act('openReport', {key: e.key});
        if (r.ok) location.href = '/report';
      }}, '리포트')))));
}

function cascadeLiveView(s) {
  const L = s.cascadeLive;
  if (!L) return null;
  return h('p', {class: 'cascade-live'}, '2차 복사 중 → ' + L.target + ' · 파일 ' + L.done + '/' + L.count +
    (L.bytesTotal ? ' · ' + gb(L.bytesDone) + ' / ' + gb(L.bytesTotal) : '') + (L.name ? ' · ' + L.name : ''));
}

// The first steps, each marked once it is done, until a card has been seen.
function readyHint(s) {
  const seen = s.cards.length || s.finished.length || (s.earlier || []).length;
  if (s.ready && seen) return null;
  const project = (s.settings.find(f => f.key === 'project') || {}).value;
  const steps = [
    [!!(project && String(project).trim()), '프로젝트 이름을 정하세요'],
    [s.dests.length > 0, '복사할 목적지 폴더(드라이브)를 하나 이상 더하세요'],
    [false, '카드를 꽂으세요 — 여기에 나타나고, 카운트다운 뒤 또는 \'시작\'으로 복사합니다'],
  ];
  // One way to the settings, beside the first step still to do there.
  const next = steps.findIndex(([done]) => !done);
  return h('div', {class: 'hint ready-hint first-steps'}, h('b', {}, '처음 쓰기'),
    h('ol', {}, steps.map(([done, text], i) => h('li', {class: done ? 'step-done' : ''},
      (done ? '✓ ' : '') + text, i === next && i < 2 ? [' — ', h('a', {href: '/settings'}, '설정')] : null))));
}

// ---- Settings ----

function destList(items, cascade) {
  if (!items.length) return h('p', {class: 'empty'}, '없음');
  return h('ul', {class: 'dests'}, items.map(d => h('li', {},
    h('span', {class: 'path'}, d.path), ' ',
    d.state ? h('span', {class: d.ok ? 'ok' : 'bad'}, d.state) : null, ' ',
    h('button', {class: 'remove', onclick: () => act('removeDestination', {path: d.path, cascade})}, '빼기'))));
}

function suggestionView(s) {
  const g = s.suggestion;
  if (!g) return null;
  return h('div', {class: 'suggestion'}, '새 드라이브 ', h('b', {}, g.name), ' (' + g.path + ') 를 쓸까요? ',
    h('button', {onclick: () => act('acceptSuggestion', {cascade: false})}, '목적지로 쓰기'),
    h('button', {onclick: () => act('acceptSuggestion', {cascade: true})}, '2차 목적지로 쓰기'),
    h('button', {onclick: () => act('ignoreSuggestion', {})}, '무시'));
}

// A refused value does not stay in its field: the stored one comes back, and why is said under
// the field, where the person is looking (the message at the top may be scrolled away).
function settingInput(f, refused) {
  const restore = el => {
    if (el.type === 'checkbox') el.checked = !!f.value;
    else el.value = f.value ?? '';
  };
  const send = async (v, el) => {
    const r = await act('setSetting', {key: f.key, value: v});
    refused.textContent = r.ok ? '' : (r.message || '');
    refused.hidden = !!r.ok;
    if (!r.ok && el) restore(el);
  };
  if (f.readonly) {
    const v = Array.isArray(f.value) ? f.value.join(', ')
      : f.value && typeof f.value === 'object' ? Object.entries(f.value).map(e => e.join(': ')).join(', ')
      : f.value;
    return h('span', {class: 'readonly'}, v === null || v === undefined || v === '' ? '—' : String(v));
  }
  switch (f.type) {
    case 'bool': return h('input', {type: 'checkbox', checked: !!f.value, onchange: e => send(e.target.checked, e.target)});
    case 'number': return h('input', {type: 'number', value: f.value ?? '',
      onchange: e => send(e.target.value === '' ? null : Number(e.target.value), e.target)});
    case 'choice': return h('select', {onchange: e => send(e.target.value, e.target)},
      f.choices.map(c => h('option', {value: c.value, selected: c.value === f.value}, c.label)));
  }
  return h('input', {type: 'text', value: f.value ?? '', placeholder: f.example || '',
    onchange: e => send(e.target.value === '' ? null : e.target.value, e.target)});
}

function settingsView(s) {
  return h('div', {class: 'settings'}, s.settings.map(f => {
    const refused = h('div', {class: 'refused bad', hidden: true, role: 'alert'});
    return h('div', {class: 'setting-row', 'data-key': f.key},
      h('label', {class: 'setting', 'data-key': f.key}, h('span', {class: 'label'}, f.label), settingInput(f, refused)),
      refused);
  }));
}

// The terms are Markdown; drawn as text nodes, never as markup from the file.
function markdown(text) {
  const out = [];
  let list = null, para = [];
  const inline = s => s.split(/(\*\*[^*]+\*\*|`[^`]+`)/).filter(Boolean).map(p =>
    p.startsWith('**') ? h('strong', {}, p.slice(2, -2)) : p.startsWith('`') ? h('code', {}, p.slice(1, -1)) : p);
  const flush = () => {
    if (para.length) out.push(h('p', {}, inline(para.join(' '))));
    para = [];
    list = null;
  };
  for (const raw of text.split('\n')) {
    const line = raw.trim();
    let m;
    if (!line) { flush(); continue; }
    if ((m = line.match(/^(#{1,4})\s+(.*)$/))) { flush(); out.push(h('h' + Math.min(6, m[1].length + 2), {}, inline(m[2]))); continue; }
    if ((m = line.match(/^(?:[-*]|\d+[.)])\s+(.*)$/))) {
      if (para.length) { out.push(h('p', {}, inline(para.join(' ')))); para = []; }
      if (!list) { list = h(/^\d/.test(line) ? 'ol' : 'ul', {class: 'md-list'}); out.push(list); }
      list.append(h('li', {}, inline(m[1])));
      continue;
    }
    list = null;
    para.push(line);
  }
  flush();
  return out;
}

function onboardingView(s) {
  const o = s.onboarding;
  if (!o || (!o.show && page !== 'settings')) return null;
  return h('section', {class: 'onboarding' + (o.accepted ? ' accepted' : '')}, h('h2', {}, '사용 약관'),
    o.accepted ? h('details', {}, h('summary', {}, '동의했습니다 — 약관 보기'), h('div', {class: 'terms'}, markdown(o.terms)))
      : [h('div', {class: 'terms'}, markdown(o.terms)),
         h('button', {class: 'accept primary', onclick: () => act('acceptTerms', {})}, '약관에 동의')]);
}

function permView(s) {
  return h('div', {},
    h('ul', {class: 'perms'}, (s.permChecks || []).map(p => h('li', {},
      h('span', {class: 'path'}, p.path), ' · ' + (p.write ? '쓰기' : '읽기') + ' · ',
      h('span', {class: p.ok ? 'ok' : 'bad'}, p.state)))),
    h('button', {onclick: () => act('checkPermissions', {})}, '권한 다시 점검'),
    h('label', {class: 'login-item'}, h('input', {type: 'checkbox', checked: !!s.loginItem,
      onchange: e => act('setLoginItem', {on: e.target.checked})}), ' 로그인할 때 TOLVERDINE 시작'),
    s.loginItemNote ? h('p', {class: 'note'}, s.loginItemNote) : null);
}

function projectForm() {
  const path = h('input', {type: 'text', id: 'project-path', placeholder: '/media/SSD/데모.tolverdine.json'});
  return h('div', {class: 'add'}, path,
    h('button', {class: 'export-project', onclick: () => act('exportProject', {path: path.value})}, '내보내기'),
    h('button', {class: 'import-project', onclick: () => act('importProject', {path: path.value})}, '불러오기'));
}

function addForm(id, cascade, label) {
  const input = h('input', {type: 'text', id, placeholder: '/media/… 폴더 경로'});
  const go = async () => {
    const path = input.value.trim();
    if (!path) return;
    const r = await act('addDestination', {path, cascade});
    // The answer may come after the next path was typed in: only the one sent is cleared.
    if (r.ok && input.value.trim() === path) input.value = '';
  };
  input.addEventListener('keydown', e => { if (e.key === 'Enter') go(); });
  return h('div', {class: 'add'}, input, h('button', {class: 'add-' + (cascade ? 'cascade' : 'dest'), onclick: go}, label));
}

// Sections are rebuilt only when their data changed and never under the user's cursor.
function section(id, data, build) {
  const el = document.getElementById(id);
  if (!el) return;
  const key = JSON.stringify(data);
  if (drawn[id] === key) return;
  if (el.contains(document.activeElement) && document.activeElement.matches('input,select,textarea')) return;
  drawn[id] = key;
  el.replaceChildren(...[build()].flat().filter(Boolean));
  loadThumbs(el);
}

// Still frames need the token too; they are fetched with it and shown from memory.
const thumbs = new Map();
function loadThumbs(root) {
  for (const img of root.querySelectorAll('img[data-src]')) {
    const src = img.dataset.src;
    if (!thumbs.has(src)) {
      thumbs.set(src, fetch(src, {headers: {'X-Tolverdine-Token': token}})
        .then(r => (r.ok ? r.blob() : null)).then(b => (b ? URL.createObjectURL(b) : null)).catch(() => null));
    }
    thumbs.get(src).then(u => { if (u) img.src = u; });
  }
}

const layouts = {
  main: () => [
    h('div', {id: 'onboarding'}), h('div', {id: 'ready'}),
    h('h2', {}, '카드'), h('div', {id: 'cards'}), h('div', {id: 'cascadeLive'}),
    h('h2', {id: 'finished-head'}, '끝난 카드 — 이번 실행'), h('div', {id: 'finished'}),
    h('h2', {id: 'earlier-head'}, '이전 카드 — 이 프로젝트'), h('div', {id: 'earlier'}),
  ],
  settings: () => [
    h('div', {id: 'onboarding'}), h('div', {id: 'suggestion'}),
    h('h2', {}, '목적지'), h('div', {id: 'dests'}), addForm('add-dest', false, '목적지로 쓰기'),
    h('h2', {}, '2차 목적지'), h('div', {id: 'cascade'}), addForm('add-cascade', true, '2차 목적지로 쓰기'),
    h('div', {id: 'cascadeLive'}), h('div', {id: 'cascadeNote'}),
    h('h2', {}, '설정'), h('div', {id: 'settings'}),
    h('h2', {}, '프로젝트 파일'), projectForm(),
    h('h2', {}, '권한'), h('div', {id: 'perms'}),
  ],
  library: () => {
    const input = h('input', {type: 'search', id: 'search',
      placeholder: '파일 이름·카메라·폴더로 찾기 (예: C0012, A캠, 인터뷰)'});
    const go = () => act('search', {text: input.value});
    input.addEventListener('keydown', e => { if (e.key === 'Enter') go(); });
    return [h('div', {class: 'add'}, input, h('button', {id: 'search-go', onclick: go}, '찾기'),
      h('button', {onclick: go}, '새로 고침')),
      h('div', {id: 'libnote'}), h('h2', {}, '찾은 사본'), h('div', {id: 'hits'}),
      h('h2', {}, '규칙 제안 — 같은 방향으로 5번 이상 옮겼습니다'), h('div', {id: 'ruleSuggestions'}),
      h('h2', {}, '최근 카드'), h('div', {id: 'history'})];
  },
  rules: () => [h('p', {class: 'hint'}, '위에서부터 처음 맞는 규칙. 비운 칸은 조건 없음. 길이는 초'),
    h('div', {id: 'presetPick'}), h('div', {id: 'ruleRows'}), h('div', {id: 'ruleSave'}),
    h('div', {id: 'rulenote'}), h('h2', {}, '카메라 역할'), h('div', {id: 'roles'})],
  report: () => [h('div', {id: 'reportHead'}), h('div', {id: 'clips'})],
};

// A class menu that starts on the clip's own class; with none known it starts empty, so pressing
// 옮기기 without a choice moves nothing. The outcome stays beside the clip it was made on, also
// once the list is drawn again with the clip in its new class.
const moveResults = new Map();
function moveControl(classes, current, key, send) {
  const sel = h('select', {},
    classes.includes(current) ? null : h('option', {value: '', selected: true}, '분류 선택'),
    classes.map(c => h('option', {value: c, selected: c === current}, c)));
  const result = h('span', {class: 'move-result', role: 'status'});
  const show = r => {
    result.textContent = r.text;
    result.className = 'move-result ' + (r.ok ? 'ok' : 'bad');
  };
  if (moveResults.has(key)) show(moveResults.get(key));
  return h('span', {class: 'move'}, sel, h('button', {class: 'move-go', onclick: async () => {
    let r;
    if (!sel.value || sel.value === current) r = {ok: false, text: '다른 분류를 고르세요'};
    else {
      const j = await send(sel.value);
      r = {ok: j.ok, text: j.message || (j.ok ? '옮김' : '옮기지 못했습니다')};
    }
    moveResults.set(key, r);
    show(r);
    // The list may already have been drawn again with the new class.
    for (const el of document.querySelectorAll('[data-move="' + CSS.escape(key) + '"] .move-result')) {
      el.textContent = r.text;
      el.className = result.className;
    }
  }}, '옮기기'), result);
}

const renders = {
  main: s => {
    section('onboarding', s.onboarding, () => onboardingView(s));
    section('ready', [s.ready, s.cards.length, s.finished.length, (s.earlier || []).length, s.dests.length,
      (s.settings.find(f => f.key === 'project') || {}).value], () => readyHint(s));
    // Empty lists say nothing on a first run: their headings wait for something to list.
    const first = !s.ready && !s.finished.length && !(s.earlier || []).length;
    for (const id of ['finished', 'earlier']) {
      document.getElementById(id + '-head').hidden = first;
      document.getElementById(id).hidden = first;
    }
    cardsSection(s);
    section('cascadeLive', s.cascadeLive, () => cascadeLiveView(s));
    section('finished', s.finished, () => finishedView(s));
    section('earlier', s.earlier, () => earlierView(s));
  },
  settings: s => {
    section('onboarding', s.onboarding, () => onboardingView(s));
    section('suggestion', s.suggestion, () => suggestionView(s));
    section('dests', s.dests, () => destList(s.dests, false));
    section('cascade', s.cascadeDests, () => destList(s.cascadeDests, true));
    section('cascadeLive', s.cascadeLive, () => cascadeLiveView(s));
    section('cascadeNote', s.cascadeNote, () => s.cascadeNote ? h('p', {class: 'note'}, s.cascadeNote) : null);
    section('settings', s.settings, () => settingsView(s));
    section('perms', [s.permChecks, s.loginItemNote, s.loginItem], () => permView(s));
  },
  library: s => {
    const L = s.library;
    section('libnote', L.note, () => L.note ? h('p', {class: 'note'}, L.note) : null);
    section('hits', [L.hits, L.classes], () => L.hits.length ? h('table', {class: 'hits'},
      h('tr', {}, ['파일', '카메라', '분류 경로', '목적지', '연결', ''].map(t => h('th', {}, t))),
      L.hits.map(x => h('tr', {class: 'hit'}, h('td', {}, x.name), h('td', {}, x.cam), h('td', {class: 'rel'}, x.classPath),
        h('td', {class: 'rel'}, x.dest), h('td', {class: x.online ? 'ok' : 'bad'}, x.online ? '연결됨' : '연결 안 됨'),
        h('td', {'data-move': x.id}, moveControl(L.classes, x.cls, x.id, cls => act('reclassifyHit', {id: x.id, cls}, true))))))
      : h('p', {class: 'empty'}, L.searchText ? '찾은 사본이 없습니다' : ''));
    section('ruleSuggestions', [L.suggestions, L.preset], () => L.suggestions.length ? h('ul', {}, L.suggestions.map(g =>
      h('li', {}, g.model + ' 은(는) 항상 ' + g.cls + ' (' + g.count + '번 옮김) ',
        h('button', {onclick: () => act('acceptSuggestionRule', {model: g.model, cls: g.cls})},
          "'" + L.preset + "' 프리셋에 추가")))) : h('p', {class: 'empty'}, '아직 없습니다'));
    section('history', L.history, () => h('table', {class: 'history'},
      h('tr', {}, ['카메라', '파일', '크기', '처음', '마지막'].map(t => h('th', {}, t))),
      L.history.map(c => h('tr', {}, h('td', {}, c.cam), h('td', {}, c.files + '개'), h('td', {}, gb(c.bytes)),
        h('td', {}, c.firstSeen), h('td', {}, c.lastSeen)))));
  },
  rules: s => {
    const R = s.rules;
    section('presetPick', [R.presets, R.editingPreset, R.preset], () => h('label', {class: 'preset-pick'}, '프리셋 ',
      h('select', {onchange: e => act('editRules', {name: e.target.value})},
        R.presets.map(p => h('option', {value: p, selected: p === R.editingPreset}, p + (p === R.preset ? ' (사용 중)' : ''))))));
    const cols = [['min_sec', '최소 길이', 'number'], ['max_sec', '최대 길이', 'number'],
      ['min_ch', '최소 채널', 'number'], ['model', '카메라 모델', 'text']];
    const send = rules => act('setRules', {rules});
    const edit = (i, k, v) => {
      const rules = structuredClone(R.editingRules);
      if (v === '' || v === null) delete rules[i][k];
      else rules[i][k] = v;
      send(rules);
    };
    section('ruleRows', [R.editingRules, R.classes], () => h('table', {class: 'rules'},
      h('tr', {}, h('th', {}, '분류'), cols.map(c => h('th', {}, c[1])), h('th', {}, '')),
      R.editingRules.map((rule, i) => h('tr', {},
        h('td', {'data-label': '분류'}, h('select', {'aria-label': '분류', onchange: e => edit(i, 'class', e.target.value)},
          R.classes.map(c => h('option', {value: c, selected: c === rule.class}, c)))),
        cols.map(([k, label, t]) => h('td', {'data-label': label},
          h('input', {type: t, 'aria-label': label, value: rule[k] ?? '', onchange: e =>
            edit(i, k, e.target.value === '' ? '' : t === 'number' ? Number(e.target.value) : e.target.value)}))),
        h('td', {}, h('button', {onclick: () => send(R.editingRules.filter((_, j) => j !== i))}, '빼기')))),
      h('tr', {}, h('td', {colspan: 6}, h('button', {onclick: () => send([...R.editingRules, {class: '기타'}])}, '규칙 추가')))));
    section('ruleSave', R.editingPreset, () => {
      const name = h('input', {type: 'text', value: R.editingPreset});
      return h('div', {class: 'add'}, name, h('button', {onclick: () => act('saveRules', {name: name.value})}, '프리셋으로 저장'));
    });
    section('rulenote', R.note, () => R.note ? h('p', {class: 'note'}, R.note) : null);
    section('roles', [R.roles, R.roleChoices], () => R.roles.length ? h('ul', {class: 'roles'}, R.roles.map(r => h('li', {}, r.cam + ' ',
      h('select', {onchange: e => act('setRole', {cam: r.cam, role: e.target.value})},
        R.roleChoices.map(c => h('option', {value: c.value, selected: c.value === r.role}, c.label))))))
      : h('p', {class: 'empty'}, '카드를 꽂으면 카메라가 여기에 나옵니다'));
  },
  report: s => {
    const P = s.report;
    section('reportHead', [P.card, P.name, P.cam, P.verdict, P.clips.length], () => P.card ? [
      h('h2', {}, P.name + ' ', h('span', {class: 'cam'}, P.cam)),
      P.verdict ? h('div', {class: 'report-verdict'},
        h('div', {class: 'mark small ' + P.verdict.color, 'aria-hidden': 'true'}, marks[P.verdict.color]),
        h('div', {}, h('div', {class: 'verdict ' + P.verdict.color}, P.verdict.text), h('div', {class: 'at'}, P.verdict.at),
          outcomesView(P.verdict.outcomes))) : null,
      h('div', {class: 'buttons'},
        h('button', {id: 'spot', onclick: () => act('spotCheck', {})}, '스팟 체크 (처음·가운데·끝 재생)'),
        h('button', {onclick: () => act('openReportFolder', {})}, '리포트 폴더 열기'))]
      : h('p', {class: 'empty'}, '카드 목록이나 끝난 카드에서 \'리포트\'를 누르세요'));
    section('clips', [P.clips, P.classes], () => P.card ? (P.clips.length ? h('ul', {class: 'clips'}, P.clips.map(c =>
      h('li', {class: 'clip'}, c.thumb ? h('img', {'data-src': c.thumb, alt: ''}) : h('div', {class: 'nothumb'}),
        h('div', {'data-move': c.rel}, h('b', {}, c.name), h('div', {class: 'cls'}, c.cls), h('div', {class: 'rel'}, c.rel),
          moveControl(P.classes, c.cls, c.rel, cls => act('reclassifyClip', {rel: c.rel, cls}, true))))))
      : h('p', {class: 'empty'}, '영상 클립이 없습니다')) : null);
  },
};

function render() {
  if (!state) return;
  const m = document.getElementById('menu');
  m.textContent = state.menu.title;
  m.className = 'menu ' + state.menu.color;
  (renders[page] || renders.main)(state);
}

// ---- Live updates: one pushed stream; a lost server is said and retried ----

function setLive(text, cls) {
  const live = document.getElementById('live');
  live.textContent = text;
  live.className = 'live ' + cls;
}

let waitingForToken = null;
// The server answered 403: this tab's token is not the running server's (it was restarted, or the
// page was opened without the printed address). Ask for the new address instead of failing quietly.
function needToken() {
  setLive('접속 열쇠 필요', 'off');
  if (document.getElementById('auth')) return waitingForToken;
  const input = h('input', {type: 'text', id: 'auth-url', placeholder: 'http://127.0.0.1:…/?token=…'});
  let done;
  waitingForToken = new Promise(r => { done = r; });
  const go = () => {
    const v = input.value.trim();
    let t = v;
    try { t = new URL(v).searchParams.get('token') || v; } catch { /* a bare token */ }
    if (!/^[0-9a-f]{64}$/.test(t)) { input.setCustomValidity('주소에 토큰이 없습니다'); input.reportValidity(); return; }
    token = t;
    sessionStorage.setItem(tokenKey, t);
    box.remove();
    say('');
    done();
  };
  input.addEventListener('keydown', e => { if (e.key === 'Enter') go(); });
  const box = h('div', {id: 'auth', class: 'auth'},
    h('p', {}, h('b', {}, token ? '서버가 다시 시작되어 이 탭의 접속 열쇠가 맞지 않습니다.' : '접속 열쇠가 없습니다.'),
      ' 터미널에서 ', h('code', {}, 'tolverdine open'), ' 을 실행하면 열쇠가 든 주소로 이 화면을 엽니다.' +
      ' 또는 tolverdine serve 가 찍은 주소(…/?token=…)를 여기에 붙여 넣으세요:'),
    h('div', {class: 'add'}, input, h('button', {class: 'auth-go primary', onclick: go}, '다시 연결')));
  document.querySelector('header').after(box);
  return waitingForToken;
}

const sleep = ms => new Promise(r => setTimeout(r, ms));

async function stream() {
  const ctl = new AbortController();
  // The server sends a comment at least every 15 s; silence longer than that is a dead link.
  let quiet = setTimeout(() => ctl.abort(), 40000);
  try {
    const r = await fetch('/events', {headers: {'X-Tolverdine-Token': token}, cache: 'no-store', signal: ctl.signal});
    if (r.status === 403) return 'token';
    if (!r.ok || !r.body) return 'lost';
    setLive('실시간', 'on');
    const reader = r.body.pipeThrough(new TextDecoderStream()).getReader();
    let buf = '';
    for (;;) {
      const {value, done} = await reader.read();
      if (done) return 'lost';
      clearTimeout(quiet);
      quiet = setTimeout(() => ctl.abort(), 40000);
      buf += value;
      let end;
      while ((end = buf.indexOf('\n\n')) >= 0) {
        const ev = buf.slice(0, end);
        buf = buf.slice(end + 2);
        const data = ev.split('\n').filter(l => l.startsWith('data: ')).map(l => l.slice(6)).join('\n');
        if (data) {
          state = JSON.parse(data);
          render();
        }
      }
    }
  } catch {
    return 'lost';
  } finally {
    clearTimeout(quiet);
  }
}

async function connect() {
  let wait = 500;
  for (;;) {
    if (!token) await needToken();
    const began = Date.now();
    const why = await stream();
    if (Date.now() - began > 5000) wait = 500;
    if (why === 'token') { await needToken(); wait = 500; continue; }
    setLive('서버 연결 끊김 — 다시 잇는 중', 'off');
    await sleep(wait);
    wait = Math.min(wait * 2, 5000);
  }
}

document.getElementById('view').replaceChildren(...(layouts[page] || layouts.main)());
for (const a of document.querySelectorAll('nav a'))
  if (a.getAttribute('href') === '/' + (page === 'main' ? '' : page)) a.className = 'here';
connect();
