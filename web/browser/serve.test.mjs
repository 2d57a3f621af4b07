// The page in Debian's chromium against a real `tolverdine serve` and loop-mounted cards: a card is
// counted down, held, started, turns green and is ejected while its verdict and report stay; the
// report and library move clips from the class they are in and say what happened; the rules page
// opens on the active preset; a red card names its destination and is started again; the folder
// tree refuses to replace a file unasked; a large clip's progress moves within the file; the
// second copy shows while it runs, with its bytes; the token never lives in a cookie and a
// restarted server asks for its new address, then lists the project's earlier cards and opens the
// report of one that is no longer mounted. Usage: node serve.test.mjs TOLVERDINE [SHOT_DIR]
// Exits 77 (skipped) without chromium, the node modules, root or loop mounts.
import {execFileSync, spawn} from 'node:child_process';
import {createRequire} from 'node:module';
import {existsSync, mkdtempSync, mkdirSync, readFileSync, rmSync, writeFileSync} from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';
import assert from 'node:assert/strict';

const skip = why => { console.log('SKIP: ' + why); process.exit(77); };
const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const [tolverdine, shotDir] = process.argv.slice(2);
const chromiumPath = '/usr/bin/chromium';
if (!existsSync(chromiumPath)) skip('no ' + chromiumPath);
let chromium;
try { ({chromium} = createRequire(path.join(repo, 'package.json'))('playwright-core')); }
catch { skip('node_modules/playwright-core missing'); }
if (process.getuid() !== 0) skip('loop mounts need root');
if (!existsSync('/usr/bin/ffmpeg')) skip('no ffmpeg for the sample clips');
assert.ok(tolverdine && existsSync(tolverdine), 'usage: node serve.test.mjs TOLVERDINE [SHOT_DIR]');

const base = mkdtempSync(path.join(os.tmpdir(), 'tolv-serve-'));
const home = path.join(base, 'home'), mnt = path.join(base, 'mnt');
const ssd1 = path.join(base, 'SSD1'), ssd2 = path.join(base, 'SSD2'), ssd3 = path.join(base, 'SSD3');
const nas = path.join(base, 'NAS');
for (const d of [home, mnt, ssd1, ssd2, nas]) mkdirSync(d, {recursive: true});
// Two drives: one drive is one copy, however many of its folders are destinations. SSD2 stays
// on the disk, so that a large clip takes long enough to be watched.
execFileSync('/bin/mount', ['-t', 'tmpfs', '-o', 'size=1g', 'tmpfs', ssd1]);

// A Sony-style card image: clips made by ffmpeg, optionally one large clip of `bigMB` megabytes.
function cardImage(name, clips, bigMB) {
  const src = path.join(base, 'src-' + name), dir = path.join(src, 'PRIVATE/M4ROOT/CLIP');
  mkdirSync(dir, {recursive: true});
  for (const n of clips)
    execFileSync('/usr/bin/ffmpeg', ['-v', 'error', '-f', 'lavfi', '-i', 'testsrc=size=320x240:rate=10:duration=1',
      '-pix_fmt', 'yuv420p', path.join(dir, n + '.MP4')]);
  if (clips.length) writeFileSync(path.join(dir, clips[0] + 'M01.XML'), '<?xml version="1.0"?>\n<NonRealTimeMeta/>\n');
  const img = path.join(base, name + '.img');
  if (bigMB) {
    execFileSync('/bin/sh', ['-c', `head -c ${bigMB * 1000000} /dev/urandom > '${path.join(dir, 'C0099.MP4')}'`]);
  }
  execFileSync('/sbin/mkfs.ext4', ['-q', '-F', '-L', name, '-d', src, img, (bigMB ? bigMB + 64 : 32) + 'M']);
  const at = path.join(mnt, name);
  mkdirSync(at, {recursive: true});
  return {img, at, mount: () => execFileSync('/bin/mount', ['-o', 'loop', img, at])};
}
const isMounted = at => readFileSync('/proc/self/mounts', 'utf8').includes(' ' + at + ' ');

// One port for both runs of serve, so that the open tab finds the restarted server.
const fixedPort = await new Promise(resolve => {
  const s = http.createServer().listen(0, '127.0.0.1', () => { const p = s.address().port; s.close(() => resolve(p)); });
});
let server, log = '';
async function startServe() {
  log = '';
  server = spawn(tolverdine, ['serve', '--watch', mnt, '--loop-removable', '--port', String(fixedPort)],
    {env: {...process.env, HOME: home}, stdio: ['ignore', 'pipe', 'pipe']});
  server.stderr.on('data', d => { log += d; });
  return new Promise((resolve, reject) => {
    let out = '';
    server.stdout.on('data', d => { out += d; const m = out.match(/^(http:\S+)\n/m); if (m) resolve(m[1]); });
    server.on('exit', c => reject(new Error('serve exited ' + c + '\n' + log)));
    setTimeout(() => reject(new Error('no URL from serve')), 15000);
  });
}
async function stopServe() {
  const done = new Promise(r => server.on('exit', r));
  server.kill('SIGTERM');
  await done;
}

const A = cardImage('A001', ['C0001', 'C0002']);
const B = cardImage('B002', ['C0005']);
const C = cardImage('C003', [], 700);
const D = cardImage('D004', ['C0007']);
let url = await startServe();
let port = Number(new URL(url).port);
const origin = () => `http://127.0.0.1:${port}`;

let passed = 0, failed = 0;
async function check(name, fn) {
  try { await fn(); passed++; console.log('ok - ' + name); }
  catch (e) { failed++; console.log('not ok - ' + name + '\n  ' + String(e.stack || e).split('\n').slice(0, 6).join('\n  ')); }
}
const browser = await chromium.launch({executablePath: chromiumPath, headless: true, args: ['--no-sandbox']});
const ctx = await browser.newContext({viewport: {width: 980, height: 1000}, locale: 'ko-KR', timezoneId: 'Asia/Seoul'});
const page = await ctx.newPage();
const T = {timeout: 10000};
const act = op => `button.act-${op}`;
const setting = k => page.locator(`.setting[data-key="${k}"]`);
const shot = async name => { if (shotDir) { mkdirSync(shotDir, {recursive: true}); await page.screenshot({path: path.join(shotDir, name)}); } };
let dialogs = [];
page.on('dialog', d => {
  const next = dialogs.shift();
  if (!next) return d.dismiss();
  return next === false ? d.dismiss() : d.accept(typeof next === 'string' ? next : undefined);
});

try {
  await check('data needs the token in a header; the page files carry none and set no cookie', async () => {
    const get = (p, headers) => new Promise((resolve, reject) => {
      http.get({host: '127.0.0.1', port, path: p, headers}, r => { r.resume(); resolve(r); }).on('error', reject);
    });
    assert.equal((await get('/api/state')).statusCode, 403);
    const token = new URL(url).searchParams.get('token');
    assert.equal((await get('/api/state', {Cookie: `tolverdine_${port}=${token}`})).statusCode, 403);
    const shell = await get('/');
    assert.equal(shell.statusCode, 200);
    assert.equal(shell.headers['set-cookie'], undefined);
    // Arguments of the wrong type are answered with an error, and serve goes on answering.
    const actOn = async (op, args) => (await fetch(origin() + '/api/act', {method: 'POST',
      headers: {'X-Tolverdine-Token': token, 'Content-Type': 'application/json'}, body: JSON.stringify({op, args})})).json();
    for (const [op, args] of [['setLoginItem', {on: 1}], ['exportTree', {id: 'x', path: '/tmp/t', replace: 'yes'}]]) {
      const r = await actOn(op, args);
      assert.equal(r.ok, false);
      assert.match(r.message, /^요청의 값이 맞지 않습니다: /);
    }
    assert.equal((await fetch(origin() + '/api/state', {headers: {'X-Tolverdine-Token': token}})).status, 200);
  });

  await check('the token leaves the address bar and stays in the tab, not in a cookie', async () => {
    await page.goto(url);
    await page.locator('#live.on').waitFor(T);
    assert.equal(page.url(), origin() + '/');
    assert.deepEqual(await ctx.cookies(), []);
    assert.equal(await page.evaluate(() => sessionStorage.getItem('tolverdine-token')), new URL(url).searchParams.get('token'));
  });

  await check('the terms show as formatted text; set-up lives on its own page', async () => {
    await page.locator('.onboarding').waitFor(T);
    assert.ok(await page.locator('.onboarding .terms h3, .onboarding .terms h4, .onboarding .terms li').count() > 0);
    assert.doesNotMatch(await page.locator('.onboarding .terms').innerText(), /^#/m);
    await page.locator('button.accept').click();
    await page.locator('.onboarding').waitFor({state: 'detached', timeout: 10000});
    await page.locator('.ready-hint a').click();
    await page.waitForURL(origin() + '/settings', T);
    await setting('project').locator('input').fill('E2E');
    await setting('project').locator('input').blur();
    // A refused value goes back to the stored one and says why under its own field.
    await setting('logo').locator('input').fill('logo.png');
    await setting('logo').locator('input').blur();
    const refused = page.locator('.setting-row[data-key="logo"] .refused');
    await refused.waitFor(T);
    assert.match(await refused.textContent(), /^리포트 로고: "\/" 로 시작하는 그림 파일 경로를 적으세요/);
    assert.equal(await setting('logo').locator('input').inputValue(), '');
    await setting('autoSeconds').locator('input').fill('30');
    await setting('autoSeconds').locator('input').blur();
    await setting('autoStart').locator('input').check();
    assert.ok(await setting('ejectOnGreen').locator('input').isChecked(), 'unset means eject');
    assert.equal(await page.locator('.setting[data-key="eulaAccepted"]').count(), 0);
    for (const d of [ssd1, ssd2]) {
      await page.fill('#add-dest', d);
      await page.click('button.add-dest');
      await page.locator('#dests li', {hasText: d}).waitFor(T);
    }
    await page.locator('#perms button', {hasText: '권한 다시 점검'}).click();
    await page.locator('#dests').getByText('쓰기 됨').first().waitFor(T);
    assert.doesNotMatch(await page.locator('main').innerText(), /macOS/);
    await page.goto(origin() + '/');
    await page.locator('#live.on').waitFor(T);
  });

  const itemA = page.locator('.card', {hasText: 'A001'});
  const doneA = page.locator('.done', {hasText: 'A001'});
  await check('a green card is ejected and its verdict, destinations and report stay on the page', async () => {
    A.mount();
    await itemA.locator('text=/초 뒤 자동 시작/').waitFor({timeout: 20000});
    await itemA.locator(act('hold')).click();
    await itemA.locator('text=시작을 기다림').waitFor(T);
    await itemA.locator(act('start')).click();
    await doneA.waitFor({timeout: 60000});
    await itemA.waitFor({state: 'detached', timeout: 30000});
    assert.ok(!isMounted(A.at), 'the card was ejected');
    assert.match(await doneA.locator('.verdict.green').textContent(), /복사 3 · 기존 0 — 검증 사본 2곳 이상, 카메라에서 포맷하세요/);
    assert.match(await doneA.locator('.outcomes').innerText(), /SSD1\/\S+ 검증 3개[\s\S]*SSD2\/\S+ 검증 3개/);
    assert.match(await doneA.locator('.at').textContent(), /^\d{4}-\d\d-\d\d \d\d:\d\d$/);
    assert.match(await page.locator('#earlier').innerText(), /이 프로젝트의 이전 카드가 없습니다/, 'this run\'s cards are listed as finished');
    await shot('main-finished.png');
  });

  let movedTo;
  await check('the report of the ejected card lists its clips and a move says what it did', async () => {
    await doneA.locator('button.open-report').click();
    await page.waitForURL(origin() + '/report', T);
    await page.locator('.report-verdict .verdict.green').waitFor(T);
    const clip = page.locator('.clip', {hasText: 'C0001.MP4'});
    await clip.waitFor(T);
    assert.equal(await page.locator('.clip').count(), 2);
    await page.waitForFunction(() => { const i = document.querySelector('.clip img'); return i && i.complete && i.naturalWidth > 0; }, null, T);
    const before = await clip.locator('.cls').textContent();
    assert.equal(await clip.locator('select').inputValue(), before, 'the menu starts on the clip\'s class');
    await clip.locator('button.move-go').click();
    await clip.locator('.move-result.bad').waitFor(T);
    const to = movedTo = before === '풀샷' ? '인터뷰' : '풀샷';
    await clip.locator('select').selectOption(to);
    await clip.locator('button.move-go').click();
    await clip.locator('.cls', {hasText: to}).waitFor(T);
    assert.match(await clip.locator('.move-result').textContent(), new RegExp('옮김: C0001.MP4 → ' + to));
    await shot('report.png');
  });

  await check('the library preselects each copy\'s class and shows local times', async () => {
    await page.goto(origin() + '/library');
    await page.fill('#search', 'C0002');
    await page.press('#search', 'Enter');
    const hits = page.locator('tr.hit', {hasText: 'C0002.MP4'});
    await hits.first().waitFor(T);
    assert.equal(await hits.count(), 2);
    for (let i = 0; i < 2; i++) {
      const row = hits.nth(i);
      const cls = await row.locator('select').inputValue();
      assert.ok(cls, 'a class is selected');
      assert.ok((await row.locator('td').nth(2).textContent()).includes('/' + cls + '/'), 'it is the class the path names');
      await row.locator('button.move-go').click();
      await row.locator('.move-result.bad').waitFor(T);
      assert.ok((await row.locator('td').nth(2).textContent()).includes('/' + cls + '/'), 'nothing moved');
    }
    const seen = await page.locator('#history td').allTextContents();
    assert.ok(seen.some(t => /^\d{4}-\d\d-\d\d \d\d:\d\d$/.test(t)), seen.join(' | '));
    assert.ok(!seen.some(t => /T\d\d:\d\d:\d\dZ/.test(t)), 'no UTC texts');
    await shot('library.png');
  });

  await check('the rules page opens on the active preset with its rules and unwrapped buttons', async () => {
    await page.goto(origin() + '/rules');
    await page.locator('.preset-pick select').waitFor(T);
    assert.equal(await page.locator('.preset-pick select').inputValue(), 'default');
    assert.match(await page.locator('.preset-pick option:checked').textContent(), /사용 중/);
    await page.locator('table.rules select').first().waitFor(T);
    assert.ok(await page.locator('table.rules tr').count() >= 3);
    for (const b of await page.locator('main button').all()) {
      const fits = await b.evaluate(e => getComputedStyle(e).whiteSpace === 'nowrap' && e.scrollWidth <= e.clientWidth + 1);
      assert.ok(fits, 'button wraps or overflows: ' + await b.textContent());
    }
    await shot('rules.png');
  });

  const itemB = page.locator('.card', {hasText: 'B002'});
  const tree = path.join(base, 'B002-tree.txt');
  await check('a red card names the destination and is started again once it is there', async () => {
    await page.goto(origin() + '/settings');
    // A folder that is not there is refused where it is typed; one whose drive goes away later
    // turns the card red.
    await page.fill('#add-dest', ssd3);
    await page.click('button.add-dest');
    await page.locator('#message.bad', {hasText: '목적지: 폴더가 없습니다: ' + ssd3}).waitFor(T);
    mkdirSync(ssd3);
    await page.click('button.add-dest');
    await page.locator('#dests li', {hasText: ssd3}).waitFor(T);
    rmSync(ssd3, {recursive: true});
    await page.goto(origin() + '/');
    B.mount();
    await itemB.locator(act('hold')).click({timeout: 20000});
    await itemB.locator(act('start')).click();
    const verdict = itemB.locator('.verdict.red');
    await verdict.waitFor({timeout: 60000});
    assert.ok((await verdict.textContent()).includes(ssd3), await verdict.textContent());
    await shot('red.png');
    assert.equal(await itemB.locator('button').first().textContent(), '다시 시작');
  });

  await check('the folder tree does not replace an existing file unless confirmed', async () => {
    writeFileSync(tree, 'mine');
    dialogs = [tree, false];
    await itemB.locator(act('exportTree')).click();
    await page.locator('#message.bad', {hasText: '이미 있는 파일입니다'}).waitFor(T);
    assert.equal(readFileSync(tree, 'utf8'), 'mine');
    dialogs = [tree, true];
    await itemB.locator(act('exportTree')).click();
    for (let i = 0; i < 100 && readFileSync(tree, 'utf8') === 'mine'; i++) await new Promise(r => setTimeout(r, 50));
    assert.notEqual(readFileSync(tree, 'utf8'), 'mine');
  });

  await check('after the destination is back, 다시 시작 turns the red card green', async () => {
    mkdirSync(ssd3);
    await itemB.locator(act('start')).click();
    await page.locator('.done.green', {hasText: 'B002'}).waitFor({timeout: 60000});
    assert.equal(await page.locator('.done', {hasText: 'B002'}).count(), 2, 'the red run stays listed too');
  });

  const itemC = page.locator('.card', {hasText: 'C003'});
  await check('a large clip\'s bar moves within the file, with stage, speed and time left', async () => {
    await page.goto(origin() + '/settings');
    await page.fill('#add-cascade', nas);
    await page.click('button.add-cascade');
    await page.locator('#cascade li', {hasText: nas}).waitFor(T);
    await page.goto(origin() + '/');
    D.mount();
    const itemD = page.locator('.card', {hasText: 'D004'});
    await itemD.locator(act('hold')).click({timeout: 20000});
    C.mount();
    await itemC.locator(act('hold')).click({timeout: 20000});
    await itemC.locator(act('start')).click();
    await itemC.locator('.bar').waitFor({timeout: 30000});
    // Presses as a person makes them, 120 ms between mouse-down and mouse-up, on the other card
    // while progress arrives: every one opens the dialog.
    let prompts = 0;
    const countPrompt = d => { if (d.type() === 'prompt') prompts++; };
    page.on('dialog', countPrompt);
    for (let i = 0; i < 8; i++) {
      const box = await itemD.locator(act('exportTree')).boundingBox();
      await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
      await page.mouse.down();
      await new Promise(r => setTimeout(r, 120));
      await page.mouse.up();
      await new Promise(r => setTimeout(r, 150));
    }
    page.off('dialog', countPrompt);
    assert.equal(prompts, 8, 'presses lost while the other card copied');
    const widths = new Set(), stages = new Set();
    let nums = '';
    for (let i = 0; i < 600; i++) {
      const s = await page.evaluate(() => {
        const e = [...document.querySelectorAll('.card')].find(c => c.textContent.includes('C003'));
        const f = e && e.querySelector('.fill.copied');
        return f ? {w: f.style.width, file: e.querySelector('.file').textContent, nums: e.querySelector('.nums').textContent} : null;
      });
      if (!s) break;
      if (s.file.includes('C0099.MP4') && parseFloat(s.w) > 0 && parseFloat(s.w) < 100) widths.add(s.w);
      stages.add(s.nums.split(' · ')[0]);
      if (/MB\/s/.test(s.nums) && /남은 시간/.test(s.nums)) nums = s.nums;
      if (i === 8) await shot('main.png');
      await new Promise(r => setTimeout(r, 250));
    }
    assert.ok(widths.size >= 3, 'the bar moved within the clip: ' + [...widths].join(' '));
    assert.ok(stages.has('복사') && stages.has('검증'), [...stages].join(' '));
    assert.ok(nums, 'speed and time left were shown');
  });

  await check('the second copy shows while it runs', async () => {
    await page.locator('.cascade-live').waitFor({timeout: 60000});
    // The first line may come before the second copy has counted its files and bytes.
    const want = /2차 복사 중 → .*NAS · 파일 \d+\/\d+ · \d+\.\dGB \/ 0\.7GB/;
    let text = '';
    for (let i = 0; i < 120 && !want.test(text); ++i) {
      text = (await page.locator('.cascade-live').textContent({timeout: 1000}).catch(() => '')) || text;
      if (!want.test(text)) await new Promise(r => setTimeout(r, 100));
    }
    assert.match(text, want);
  });

  await check('the card list fits a 420 px popover', async () => {
    await page.setViewportSize({width: 420, height: 760});
    await page.goto(origin() + '/');
    await page.locator('#live.on').waitFor(T);
    await page.locator('.done').first().waitFor(T);
    assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 420), 'no sideways scrolling');
    const top = await page.locator('#cards').evaluate(e => e.getBoundingClientRect().top);
    assert.ok(top < 300, 'the card list is seen first: ' + top);
    await shot('main-420.png');
    await page.goto(origin() + '/settings');
    await page.locator('.setting').first().waitFor(T);
    assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 420));
    await shot('settings-420.png');
    // Without the header row, each rule box says what it holds.
    await page.goto(origin() + '/rules');
    await page.locator('table.rules td[data-label]').first().waitFor(T);
    const labels = await page.locator('table.rules tr').nth(1).locator('td[data-label]').evaluateAll(
      tds => tds.map(td => getComputedStyle(td, '::before').content));
    assert.deepEqual(labels, ['"분류"', '"최소 길이"', '"최대 길이"', '"최소 채널"', '"카메라 모델"']);
    await page.setViewportSize({width: 980, height: 1000});
  });

  await check('a tab that loses the server says so and asks for the restarted server\'s address', async () => {
    await page.goto(origin() + '/');
    await page.locator('#live.on').waitFor(T);
    await stopServe();
    await page.locator('#live.off').waitFor(T);
    url = await startServe();
    assert.equal(Number(new URL(url).port), port);
    await page.locator('#auth').waitFor({timeout: 20000});
    assert.match(await page.locator('#auth').textContent(), /다시 시작[\s\S]*터미널에서 tolverdine open 을 실행하면/);
    await page.fill('#auth-url', url);
    await page.click('button.auth-go');
    await page.locator('#live.on').waitFor(T);
    await page.locator('#auth').waitFor({state: 'detached', timeout: 5000});
  });

  await check('after the restart the project\'s earlier cards are listed and an ejected card\'s report opens', async () => {
    const earlierA = page.locator('#earlier .done', {hasText: 'A001'});
    await earlierA.waitFor(T);
    assert.equal(await page.locator('#finished .done').count(), 0, 'nothing finished in this run yet');
    // The red run stopped before copying and left no reports; the green one is listed.
    assert.equal(await page.locator('#earlier .done.green', {hasText: 'B002'}).count(), 1);
    assert.match(await earlierA.locator('.verdict.green').textContent(), /포맷 가능 · 파일 3개/);
    assert.match(await earlierA.locator('.earlier-dests').textContent(), /SSD1.*SSD2/);
    assert.match(await earlierA.locator('.at').textContent(), /^\d{4}-\d\d-\d\d \d\d:\d\d$/);
    await page.locator('#earlier').scrollIntoViewIfNeeded();
    await shot('main-earlier.png');
    await earlierA.locator('button.open-report').click();
    await page.waitForURL(origin() + '/report', T);
    await page.locator('.report-verdict .verdict.green').waitFor(T);
    await page.locator('.clip').first().waitFor(T);
    assert.equal(await page.locator('.clip').count(), 2);
    const clip = page.locator('.clip', {hasText: 'C0001.MP4'});
    assert.equal(await clip.locator('.cls').textContent(), movedTo, 'the clip is where it was moved to');
    await page.waitForFunction(() => { const i = document.querySelector('.clip img'); return i && i.complete && i.naturalWidth > 0; }, null, T);
    await shot('report-earlier.png');
  });
} finally {
  await browser.close();
  await stopServe().catch(() => {});
  for (const c of [A, B, C, D]) if (isMounted(c.at)) execFileSync('/bin/umount', [c.at]);
  if (isMounted(ssd1)) execFileSync('/bin/umount', ['-l', ssd1]);
  rmSync(base, {recursive: true, force: true});
}
console.log(`${passed} passed, ${failed} failed`);
if (failed) console.log(log.split('\n').slice(-30).join('\n'));
process.exit(failed ? 1 : 0);
