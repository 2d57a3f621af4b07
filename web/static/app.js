// Renders the application's state and sends the user's operations; decides nothing itself.
'use strict';

const token = document.querySelector('meta[name="tolverdine-token"]').content;
const page = location.pathname.replace(/^\//, '') || 'main';
let state = null;
const drawn = {};

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

async function act(op, args) {
  try {
    const r = await fetch('/api/act', {
      method: 'POST',
      headers: {'Content-Type': 'application/json', 'X-Tolverdine-Token': token},
      body: JSON.stringify({op, args: args || {}}),
    });
    const j = await r.json();
    say(j.ok ? '' : j.message, !j.ok);
    return j;
  } catch (e) {
    say('요청 실패: ' + e, true);
    return {ok: false};
  }
}

function gb(n) {
  return n >= 1e12 ? (n / 1e12).toFixed(1) + 'TB' : (n / 1e9).toFixed(1) + 'GB';
}
function rate(n) { return (n / 1e6).toFixed(0) + ' MB/s'; }
function eta(s) {
  s = Math.max(0, Math.round(s));
  const m = Math.floor(s / 60);
  return '남은 시간 ' + (m > 0 ? m + '분 ' : '') + (s % 60) + '초';
}

const actionLabels = {
  start: '시작', hold: '자동 시작 멈춤', startAnyway: '그래도 시작', dismiss: '목록에서 빼기',
  keepSlot2: '슬롯 2 따로 받기', verifyTwin: '슬롯 대조', exportTree: '폴더 구조 저장',
  report: '리포트',
};

function cardAction(card, a) {
  return h('button', {class: 'act-' + a, onclick: async () => {
    if (a === 'exportTree') {
      const path = prompt('폴더 구조를 저장할 파일 경로', '');
      if (path) act('exportTree', {id: card.id, path});
    } else if (a === 'report') {
      const r = await act('openReport', {id: card.id});
      if (r.ok) location.href = '/report';
    } else act(a, {id: card.id});
  }}, actionLabels[a] || a);
}

function phaseView(c) {
  switch (c.phase) {
    case 'reading': return h('div', {class: 'phase'}, '카드 읽는 중…');
    case 'queued': return h('div', {class: 'phase'}, '차례를 기다리는 중');
    case 'waiting':
      return h('div', {class: 'phase'}, c.countdown === null || c.countdown === undefined
        ? '시작을 기다림' : c.countdown + '초 뒤 자동 시작');
    case 'running': {
      const pct = c.total > 0 ? Math.min(100, 100 * c.done / c.total) : 0;
      return h('div', {class: 'phase'},
        h('div', {class: 'bar'}, h('div', {class: 'fill', style: {width: pct.toFixed(1) + '%'}})),
        h('div', {class: 'nums'}, gb(c.done) + ' / ' + gb(c.total),
          c.rate ? ' · ' + rate(c.rate) : '', c.eta !== null && c.eta !== undefined ? ' · ' + eta(c.eta) : ''),
        h('div', {class: 'file'}, c.file || ''));
    }
    case 'finished': return h('div', {class: 'phase verdict ' + c.color}, c.text);
  }
  return h('div', {class: 'phase'}, c.phase);
}

function cardsView(s) {
  if (!s.cards.length) return h('p', {class: 'empty'}, '카드를 꽂으면 여기에 나타납니다');
  return h('ul', {class: 'cards'}, s.cards.map(c =>
    h('li', {class: 'card ' + (c.phase === 'finished' ? c.color : c.phase), 'data-id': c.id},
      h('div', {class: 'title'}, h('b', {}, c.name), ' ', h('span', {class: 'cam'}, c.cam || ''),
        c.camera ? h('span', {class: 'camera'}, ' · ' + c.camera) : null),
      phaseView(c),
      c.note ? h('div', {class: 'note'}, c.note) : null,
      c.link ? h('div', {class: 'link'}, c.link) : null,
      h('div', {class: 'buttons'}, (c.actions || []).map(a => cardAction(c, a))))));
}

function destList(items, cascade) {
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

function settingInput(f) {
  const set = v => act('setSetting', {key: f.key, value: v});
  if (f.readonly) {
    const v = Array.isArray(f.value) ? f.value.join(', ')
      : f.value && typeof f.value === 'object' ? Object.entries(f.value).map(e => e.join(': ')).join(', ')
      : f.value;
    return h('span', {class: 'readonly'}, v === null || v === undefined || v === '' ? '—' : String(v));
  }
  switch (f.type) {
    case 'bool': return h('input', {type: 'checkbox', checked: !!f.value, onchange: e => set(e.target.checked)});
    case 'number': return h('input', {type: 'number', value: f.value ?? '',
      onchange: e => set(e.target.value === '' ? null : Number(e.target.value))});
    case 'choice': return h('select', {onchange: e => set(e.target.value)},
      f.choices.map(c => h('option', {value: c.value, selected: c.value === f.value}, c.label)));
  }
  return h('input', {type: 'text', value: f.value ?? '', placeholder: f.example || '',
    onchange: e => set(e.target.value === '' ? null : e.target.value)});
}

function settingsView(s) {
  return h('div', {class: 'settings'}, s.settings.map(f =>
    h('label', {class: 'setting', 'data-key': f.key}, h('span', {class: 'label'}, f.label), settingInput(f))));
}

function onboardingView(s) {
  const o = s.onboarding;
  if (!o || (!o.show && o.accepted)) return null;
  return h('section', {class: 'onboarding'}, h('h2', {}, '사용 약관'),
    h('pre', {class: 'terms'}, o.terms),
    o.accepted ? h('p', {}, '동의했습니다') :
      h('button', {class: 'accept', onclick: () => act('acceptTerms', {})}, '약관에 동의'));
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
    h('button', {class: 'export-project', onclick: () => act('exportProject', {path: path.value})}, '프로젝트 파일 내보내기'),
    h('button', {class: 'import-project', onclick: () => act('importProject', {path: path.value})}, '프로젝트 파일 불러오기'));
}

function addForm(id, cascade, label) {
  const input = h('input', {type: 'text', id, placeholder: '/media/… 폴더 경로'});
  const go = async () => {
    if (!input.value.trim()) return;
    const r = await act('addDestination', {path: input.value.trim(), cascade});
    if (r.ok) input.value = '';
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
}

const layouts = {
  main: () => [
    h('div', {id: 'onboarding'}),
    h('h2', {}, '카드'), h('div', {id: 'cards'}),
    h('div', {id: 'suggestion'}),
    h('h2', {}, '목적지'), h('div', {id: 'dests'}), addForm('add-dest', false, '목적지로 쓰기'),
    h('h2', {}, '2차 목적지'), h('div', {id: 'cascade'}), addForm('add-cascade', true, '2차 목적지로 쓰기'),
    h('div', {id: 'cascadeNote'}),
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

function moveControl(classes, current, send) {
  const sel = h('select', {}, classes.map(c => h('option', {value: c, selected: c === current}, c)));
  return h('span', {class: 'move'}, sel, h('button', {class: 'move-go', onclick: () => send(sel.value)}, '옮기기'));
}

const renders = {
  main: s => {
    section('onboarding', s.onboarding, () => onboardingView(s));
    section('cards', s.cards, () => cardsView(s));
    section('suggestion', s.suggestion, () => suggestionView(s));
    section('dests', s.dests, () => destList(s.dests, false));
    section('cascade', s.cascadeDests, () => destList(s.cascadeDests, true));
    section('cascadeNote', s.cascadeNote, () => s.cascadeNote ? h('p', {class: 'note'}, s.cascadeNote) : null);
    section('settings', s.settings, () => settingsView(s));
    section('perms', [s.permChecks, s.loginItemNote, s.loginItem], () => permView(s));
  },
  library: s => {
    const L = s.library;
    section('libnote', L.note, () => L.note ? h('p', {class: 'note'}, L.note) : null);
    section('hits', [L.hits, L.classes], () => L.hits.length ? h('table', {class: 'hits'},
      h('tr', {}, ['파일', '카메라', '분류 경로', '목적지', '연결', ''].map(t => h('th', {}, t))),
      L.hits.map(x => h('tr', {class: 'hit'}, h('td', {}, x.name), h('td', {}, x.cam), h('td', {}, x.classPath),
        h('td', {}, x.dest), h('td', {class: x.online ? 'ok' : 'bad'}, x.online ? '연결됨' : '연결 안 됨'),
        h('td', {}, moveControl(L.classes, x.cls, cls => act('reclassifyHit', {id: x.id, cls}))))))
      : h('p', {class: 'empty'}, L.searchText ? '찾은 사본이 없습니다' : ''));
    section('ruleSuggestions', [L.suggestions, L.preset], () => h('ul', {}, L.suggestions.map(g =>
      h('li', {}, g.model + ' 은(는) 항상 ' + g.cls + ' (' + g.count + '번 옮김) ',
        h('button', {onclick: () => act('acceptSuggestionRule', {model: g.model, cls: g.cls})},
          "'" + L.preset + "' 프리셋에 추가")))));
    section('history', L.history, () => h('table', {class: 'history'},
      h('tr', {}, ['카메라', '파일', '크기', '처음', '마지막'].map(t => h('th', {}, t))),
      L.history.map(c => h('tr', {}, h('td', {}, c.cam), h('td', {}, c.files + '개'), h('td', {}, gb(c.bytes)),
        h('td', {}, c.firstSeen), h('td', {}, c.lastSeen)))));
  },
  rules: s => {
    const R = s.rules;
    section('presetPick', [R.presets, R.editingPreset], () => h('label', {}, '프리셋 ',
      h('select', {onchange: e => act('editRules', {name: e.target.value})},
        R.presets.map(p => h('option', {value: p, selected: p === R.editingPreset}, p)))));
    const cols = [['class', '분류', 'text'], ['min_sec', '최소 길이', 'number'], ['max_sec', '최대 길이', 'number'],
      ['min_ch', '최소 채널', 'number'], ['model', '카메라 모델', 'text']];
    const send = rules => act('setRules', {rules});
    section('ruleRows', R.editingRules, () => h('table', {class: 'rules'},
      h('tr', {}, cols.map(c => h('th', {}, c[1])), h('th', {}, '')),
      R.editingRules.map((rule, i) => h('tr', {}, cols.map(([k, , t]) => h('td', {},
        h('input', {type: t, value: rule[k] ?? '', onchange: e => {
          const rules = structuredClone(R.editingRules);
          if (e.target.value === '') delete rules[i][k];
          else rules[i][k] = t === 'number' ? Number(e.target.value) : e.target.value;
          send(rules);
        }}))), h('td', {}, h('button', {onclick: () => send(R.editingRules.filter((_, j) => j !== i))}, '빼기')))),
      h('tr', {}, h('td', {colspan: 6}, h('button', {onclick: () => send([...R.editingRules, {class: '기타'}])}, '규칙 추가')))));
    section('ruleSave', R.editingPreset, () => {
      const name = h('input', {type: 'text', value: R.editingPreset});
      return h('div', {class: 'add'}, name, h('button', {onclick: () => act('saveRules', {name: name.value})}, '프리셋으로 저장'));
    });
    section('rulenote', R.note, () => R.note ? h('p', {class: 'note'}, R.note) : null);
    const roleNames = [['none', '역할 없음 (길이로 분류)'], ['fixed', '고정캠 — 전부 풀샷'], ['interview', '인터뷰캠 — 전부 인터뷰']];
    section('roles', R.roles, () => h('ul', {}, R.roles.map(r => h('li', {}, r.cam + ' ',
      h('select', {onchange: e => act('setRole', {cam: r.cam, role: e.target.value})},
        roleNames.map(([v, t]) => h('option', {value: v, selected: v === r.role}, t)))))));
  },
  report: s => {
    const P = s.report;
    section('reportHead', [P.card, P.name, P.clips.length], () => P.card ? [h('h2', {}, P.name),
      h('button', {id: 'spot', onclick: () => act('spotCheck', {})}, '스팟 체크 (처음·가운데·끝 재생)'),
      h('button', {onclick: () => act('openReportFolder', {})}, '리포트 폴더 열기')]
      : h('p', {class: 'empty'}, '카드 목록에서 끝난 카드의 \'리포트\'를 누르세요'));
    section('clips', [P.clips, P.classes], () => P.card ? (P.clips.length ? h('ul', {class: 'clips'}, P.clips.map(c =>
      h('li', {class: 'clip'}, c.thumb ? h('img', {src: c.thumb, alt: ''}) : h('div', {class: 'nothumb'}),
        h('div', {}, h('b', {}, c.name), h('div', {class: 'cls'}, c.cls), h('div', {class: 'rel'}, c.rel),
          moveControl(P.classes, c.cls, cls => act('reclassifyClip', {rel: c.rel, cls}))))))
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

function connect() {
  const live = document.getElementById('live');
  const es = new EventSource('/events');
  es.addEventListener('state', e => {
    state = JSON.parse(e.data);
    live.textContent = '실시간';
    live.className = 'live on';
    render();
  });
  es.onerror = () => { live.textContent = '연결 끊김 — 다시 잇는 중'; live.className = 'live off'; };
}

document.getElementById('view').replaceChildren(...(layouts[page] || layouts.main)());
for (const a of document.querySelectorAll('nav a'))
  if (a.getAttribute('href') === '/' + (page === 'main' ? '' : page)) a.className = 'here';
connect();
