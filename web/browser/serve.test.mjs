// The page in Debian's chromium against a real `tolverdine serve` and loop-mounted cards, as one
// flow: terms and set-up; a card counted down, held, started, green and ejected while its verdict
// and report stay; clips moved from the report and the library; the rules page; a red card named
// by its destination and started again; the folder tree never replaced unasked; a large clip's
// progress within the file and the second copy while it runs; a 420 px popover; a restarted server
// asked for its new address, then the project's earlier cards. The token never lives in a cookie.
// Usage: node serve.test.mjs TOLVERDINE [SHOT_DIR]; exits 77 (skipped) without chromium, the node
// modules, root or ffmpeg.
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
const [ssd1, ssd2, ssd3, nas] = ['SSD1', 'SSD2', 'SSD3', 'NAS'].map(n => path.join(base, n));
for (const d of [home, mnt, ssd1, ssd2, nas]) mkdirSync(d, {recursive: true});
// Two drives: SSD2 stays on the disk, so that a large clip takes long enough to be watched.
execFileSync('/sbin/mkfs.ext4', ['-q', '-F', '-L', 'SSD1', path.join(base, 'SSD1.img'), '1G']);
execFileSync('/bin/mount', ['-o', 'loop', path.join(base, 'SSD1.img'), ssd1]);

// A Sony-style card image: clips made by ffmpeg, optionally one large clip of `bigMB` megabytes.
function cardImage(name, clips, bigMB) {
  const src = path.join(base, 'src-' + name), dir = path.join(src, 'PRIVATE/M4ROOT/CLIP');
  mkdirSync(dir, {recursive: true});
  for (const n of clips)
    execFileSync('/usr/bin/ffmpeg', ['-v', 'error', '-f', 'lavfi', '-i', 'testsrc=size=320x240:rate=10:duration=1',
      '-pix_fmt', 'yuv420p', path.join(dir, n + '.MP4')]);
  if (clips.length) writeFileSync(path.join(dir, clips[0] + 'M01.XML'), '<?xml version="1.0"?>\n<NonRealTimeMeta/>\n');
  if (bigMB) execFileSync('/bin/sh', ['-c', `head -c ${bigMB * 1000000} /dev/urandom > '${path.join(dir, 'C0099.MP4')}'`]);
  const img = path.join(base, name + '.img'), at = path.join(mnt, name);
  execFileSync('/sbin/mkfs.ext4', ['-q', '-F', '-L', name, '-d', src, img, (bigMB ? bigMB + 64 : 32) + 'M']);
  mkdirSync(at, {recursive: true});
  return {at, mount: () => execFileSync('/bin/mount', ['-o', 'loop', img, at])};
}
const isMounted = at => readFileSync('/proc/self/mounts', 'utf8').includes(' ' + at + ' ');

// One port for both runs of serve, so that the open tab finds the restarted server.
const port = await new Promise(resolve => {
  const s = http.createServer().listen(0, '127.0.0.1', () => { const p = s.address().port; s.close(() => resolve(p)); });
});
const origin = `http://127.0.0.1:${port}`;
let server, log = '';
async function startServe() {
  log += '--- serve\n';
  server = spawn(tolverdine, ['serve', '--watch', mnt, '--loop-removable', '--port', String(port)],
    {env: {...process.env, HOME: home}, stdio: ['ignore', 'pipe', 'pipe']});
  server.stderr.on('data', d => { log += d; });
  return new Promise((resolve, reject) => {
    let out = '';
    server.stdout.on('data', d => { out += d; const m = out.match(/^(http:\S+)\n/m); if (m) resolve(m[1]); });
    server.on('exit', c => reject(new Error('serve exited ' + c + '\n' + log)));
    setTimeout(() => reject(new Error('no URL from serve')), 15000);
  });
}
// serve must end on SIGTERM once its jobs are done; one that does not is killed and fails the check.
async function stopServe() {
  if (server.exitCode !== null) return;
  const done = new Promise(r => server.on('exit', () => r(true)));
  server.kill('SIGTERM');
  if (!await Promise.race([done, sleep(60000).then(() => false)])) {
    server.kill('SIGKILL');
    throw new Error('serve did not end on SIGTERM');
  }
}

const A = cardImage('A001', ['C0001', 'C0002']), B = cardImage('B002', ['C0005']);
const C = cardImage('C003', [], 700), D = cardImage('D004', ['C0007']);
let url = await startServe();

let passed = 0, failed = 0;
async function check(name, fn) {
  try { await fn(); passed++; console.log('ok - ' + name); }
  catch (e) {
    failed++;
    console.log('not ok - ' + name + '\n  ' + String(e.stack || e).split('\n').slice(0, 6).join('\n  '));
    // What the page showed, for a failure seen only in a log.
    const shown = await page.locator('main').innerText({timeout: 2000}).catch(() => '');
    console.log('  page: ' + shown.replace(/\s+/g, ' ').slice(0, 800));
  }
}
const browser = await chromium.launch({executablePath: chromiumPath, headless: true, args: ['--no-sandbox']});
const ctx = await browser.newContext({viewport: {width: 980, height: 1000}, locale: 'ko-KR', timezoneId: 'Asia/Seoul'});
const page = await ctx.newPage();
const T = {timeout: 10000};
const act = op => `button.act-${op}`;
const setting = k => page.locator(`.setting[data-key="${k}"]`);
const shot = async name => { if (shotDir) { mkdirSync(shotDir, {recursive: true}); await page.screenshot({path: path.join(shotDir, name)}); } };
const go = async where => { await page.goto(origin + where); await page.locator('#live.on').waitFor(T); };
const sleep = ms => new Promise(r => setTimeout(r, ms));
const localTime = /^\d{4}-\d\d-\d\d \d\d:\d\d$/;
// A folder as the page names it: where /tmp is a bind mount the server shows the path through the
// file system's own mount, so only the end of the path is sure.
const shown = d => path.basename(base) + '/' + path.basename(d);
// Each list item added by path on the set-up page, shown once the server took it.
async function add(list, d) {
  await page.fill('#add-' + list, d);
  await page.click('button.add-' + list);
  await page.locator(`#${list === 'dest' ? 'dests' : list} li`, {hasText: shown(d)}).waitFor(T);
}
let dialogs = [];
page.on('dialog', d => {
  const next = dialogs.shift();
  return next === undefined || next === false ? d.dismiss() : d.accept(typeof next === 'string' ? next : undefined);
});

try {
  await check('the token leaves the address bar and stays in the tab, not in a cookie; set-up', async () => {
    await page.goto(url);
    await page.locator('#live.on').waitFor(T);
    assert.equal(page.url(), origin + '/');
    assert.deepEqual(await ctx.cookies(), []);
    assert.equal(await page.evaluate(() => sessionStorage.getItem('tolverdine-token')), new URL(url).searchParams.get('token'));
    // The terms first; set-up lives on its own page.
    await page.locator('.onboarding').waitFor(T);
    await page.locator('button.accept').click();
    await page.locator('.onboarding').waitFor({state: 'detached', timeout: 10000});
    await page.locator('.ready-hint a').click();
    await page.waitForURL(origin + '/settings', T);
    const type = async (k, v) => { await setting(k).locator('input').fill(v); await setting(k).locator('input').blur(); };
    // A refused value goes back to the stored one and says why under its own field (first, so
    // that no other change's push redraws the page meanwhile).
    await type('logo', 'logo.png');
    const refused = page.locator('.setting-row[data-key="logo"] .refused');
    await refused.waitFor(T);
    assert.match(await refused.textContent(), /^리포트 로고: "\/" 로 시작하는 그림 파일 경로를 적으세요/);
    assert.equal(await setting('logo').locator('input').inputValue(), '');
    await type('project', 'E2E');
    await type('autoSeconds', '30');
    await setting('autoStart').locator('input').check();
    assert.ok(await setting('ejectOnGreen').locator('input').isChecked(), 'unset means eject');
    // The answer to an add may come after the next path was typed in (the list is pushed first):
    // held back here, it must not wipe that path.
    await page.route('**/api/act', async route => {
      if (!/"addDestination"/.test(route.request().postData() || '')) return route.continue();
      const r = await route.fetch();
      await sleep(800);
      await route.fulfill({response: r}).catch(() => {});
    });
    await add('dest', ssd1);
    await page.fill('#add-dest', ssd2);
    await sleep(1000);  // typed while the first add's answer comes in
    await page.click('button.add-dest');
    await page.locator('#dests li', {hasText: shown(ssd2)}).waitFor(T);
    await page.unrouteAll({behavior: 'ignoreErrors'});
    await page.locator('#perms button', {hasText: '권한 다시 점검'}).click();
    await page.locator('#dests').getByText('쓰기 됨').first().waitFor(T);
  });

  const itemA = page.locator('.card', {hasText: 'A001'}), doneA = page.locator('.done', {hasText: 'A001'});
  await check('a green card is ejected and its verdict, destinations and report stay on the page', async () => {
    await go('/');
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
    assert.match(await page.locator('#earlier').innerText(), /이 프로젝트의 이전 카드가 없습니다/, 'this run\'s cards are listed as finished');
    await shot('main-finished.png');
  });

  let movedTo;
  await check('the report lists the clips with thumbnails and a move says what it did', async () => {
    await doneA.locator('button.open-report').click();
    await page.waitForURL(origin + '/report', T);
    await page.locator('.report-verdict .verdict.green').waitFor(T);
    const clip = page.locator('.clip', {hasText: 'C0001.MP4'});
    await clip.waitFor(T);
    assert.equal(await page.locator('.clip').count(), 2);
    await page.waitForFunction(() => { const i = document.querySelector('.clip img'); return i && i.complete && i.naturalWidth > 0; }, null, T);
    const before = await clip.locator('.cls').textContent();
    assert.equal(await clip.locator('select').inputValue(), before, 'the menu starts on the clip\'s class');
    movedTo = before === '풀샷' ? '인터뷰' : '풀샷';
    await clip.locator('select').selectOption(movedTo);
    await clip.locator('button.move-go').click();
    await clip.locator('.cls', {hasText: movedTo}).waitFor(T);
    assert.match(await clip.locator('.move-result').textContent(), new RegExp('옮김: C0001.MP4 → ' + movedTo));
    await shot('report.png');
  });

  await check('the library preselects each copy\'s class and shows local times', async () => {
    await go('/library');
    await page.fill('#search', 'C0002');
    await page.press('#search', 'Enter');
    const hits = page.locator('tr.hit', {hasText: 'C0002.MP4'});
    await hits.first().waitFor(T);
    assert.equal(await hits.count(), 2);
    for (let i = 0; i < 2; i++) {
      const row = hits.nth(i), cls = await row.locator('select').inputValue();
      assert.ok(cls && (await row.locator('td').nth(2).textContent()).includes('/' + cls + '/'), 'the class the path names');
      await row.locator('button.move-go').click();
      await row.locator('.move-result.bad').waitFor(T);
      assert.ok((await row.locator('td').nth(2).textContent()).includes('/' + cls + '/'), 'nothing moved');
    }
    const seen = await page.locator('#history td').allTextContents();
    assert.ok(seen.some(t => localTime.test(t)) && !seen.some(t => /T\d\d:\d\d:\d\dZ/.test(t)), seen.join(' | '));
    await shot('library.png');
  });

  await check('the rules page opens on the active preset with its rules', async () => {
    await go('/rules');
    assert.equal(await page.locator('.preset-pick select').inputValue(), 'default');
    await page.locator('table.rules select').first().waitFor(T);
    assert.ok(await page.locator('table.rules tr').count() >= 3);
    await shot('rules.png');
  });

  const itemB = page.locator('.card', {hasText: 'B002'}), tree = path.join(base, 'B002-tree.txt');
  await check('a red card names the destination; the tree replaces a file only when confirmed; started again it turns green', async () => {
    // A folder that is not there is refused where it is typed; one whose drive goes away later
    // turns the card red.
    await go('/settings');
    await page.fill('#add-dest', ssd3);
    await page.click('button.add-dest');
    await page.locator('#message.bad', {hasText: '목적지: 폴더가 없습니다: ' + ssd3}).waitFor(T);
    mkdirSync(ssd3);
    await add('dest', ssd3);
    rmSync(ssd3, {recursive: true});
    await go('/');
    B.mount();
    await itemB.locator(act('hold')).click({timeout: 20000});
    await itemB.locator(act('start')).click();
    const verdict = itemB.locator('.verdict.red');
    await verdict.waitFor({timeout: 60000});
    assert.ok((await verdict.textContent()).includes(shown(ssd3)), await verdict.textContent());
    await shot('red.png');
    writeFileSync(tree, 'mine');
    dialogs = [tree, false];
    await itemB.locator(act('exportTree')).click();
    await page.locator('#message.bad', {hasText: '이미 있는 파일입니다'}).waitFor(T);
    assert.equal(readFileSync(tree, 'utf8'), 'mine');
    dialogs = [tree, true];
    await itemB.locator(act('exportTree')).click();
    for (let i = 0; i < 100 && readFileSync(tree, 'utf8') === 'mine'; i++) await sleep(50);
    assert.notEqual(readFileSync(tree, 'utf8'), 'mine');
    mkdirSync(ssd3);
    await itemB.locator(act('start')).click();
    await page.locator('.done.green', {hasText: 'B002'}).waitFor({timeout: 60000});
    assert.equal(await page.locator('.done', {hasText: 'B002'}).count(), 2, 'the red run stays listed too');
    // A destination removed from the list is gone from the page.
    await go('/settings');
    const li = page.locator('#dests li', {hasText: shown(ssd3)});
    await li.locator('button.remove').click();
    await li.waitFor({state: 'detached', timeout: 10000});
  });

  const itemC = page.locator('.card', {hasText: 'C003'});
  await check('a large clip\'s bar moves within the file, presses elsewhere are not lost, the second copy shows', async () => {
    await add('cascade', nas);
    await go('/');
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
    const press = async () => {
      for (let i = 0; i < 8; i++) {
        const box = await itemD.locator(act('exportTree')).boundingBox();
        await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
        await page.mouse.down();
        await sleep(120);
        await page.mouse.up();
        await sleep(150);
      }
    };
    // The bar is watched from the start, while the presses go on.
    const widths = new Set(), stages = new Set(), verified = new Set();
    let nums = '';
    const watch = async () => {
      for (let i = 0; i < 1500; i++) {
        const s = await page.evaluate(() => {
          const e = [...document.querySelectorAll('.card')].find(c => c.textContent.includes('C003'));
          const f = e && e.querySelector('.fill.copied'), v = e && e.querySelector('.fill.verified');
          return f ? {w: f.style.width, v: v ? v.style.width : '', file: e.querySelector('.file').textContent, nums: e.querySelector('.nums').textContent} : null;
        });
        if (!s) break;
        // The card is read on while the clip is read back: either bar may be the one moving.
        const moving = [s.w, s.v].some(w => parseFloat(w) > 0 && parseFloat(w) < 100);
        if (s.file.includes('C0099.MP4') && moving) {
          if (!widths.size) await shot('main.png');  // the page while the clip is copied
          widths.add(s.w + ' ' + s.v);
        }
        if (parseFloat(s.v) > 0 && parseFloat(s.v) < 100) verified.add(s.v);
        stages.add(s.nums.split(' · ')[0]);
        if (/MB\/s/.test(s.nums) && /남은 시간/.test(s.nums)) nums = s.nums;
        await sleep(100);
      }
    };
    await Promise.all([press(), watch()]);
    page.off('dialog', countPrompt);
    assert.equal(prompts, 8, 'presses lost while the other card copied');
    assert.ok(widths.size >= 3, 'the bar moved within the clip: ' + [...widths].join(' '));
    // Read-backs follow the card's read, so the verified bar moves while copying goes on.
    assert.ok(stages.has('복사') && verified.size >= 2, [...stages].join(' ') + ' / ' + [...verified].join(' '));
    assert.ok(nums, 'speed and time left were shown');
    // The first line may come before the second copy has counted its files and bytes.
    await page.locator('.cascade-live').waitFor({timeout: 60000});
    const want = /2차 복사 중 → .*NAS · 파일 \d+\/\d+ · \d+\.\dGB \/ 0\.7GB/;
    let text = '';
    for (let i = 0; i < 120 && !want.test(text); ++i) {
      text = (await page.locator('.cascade-live').textContent({timeout: 1000}).catch(() => '')) || text;
      if (!want.test(text)) await sleep(100);
    }
    assert.match(text, want);
  });

  await check('the card list fits a 420 px popover', async () => {
    await page.setViewportSize({width: 420, height: 760});
    await go('/');
    await page.locator('.done').first().waitFor(T);
    assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 420), 'no sideways scrolling');
    await shot('main-420.png');
    await go('/settings');
    assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 420));
    await shot('settings-420.png');
    await page.setViewportSize({width: 980, height: 1000});
  });

  await check('a restarted server asks for its address, then lists earlier cards and opens an ejected card\'s report', async () => {
    await go('/');
    await stopServe();
    await page.locator('#live.off').waitFor(T);
    url = await startServe();
    await page.locator('#auth').waitFor({timeout: 20000});
    await page.fill('#auth-url', url);
    await page.click('button.auth-go');
    await page.locator('#live.on').waitFor(T);
    await page.locator('#auth').waitFor({state: 'detached', timeout: 5000});
    const earlierA = page.locator('#earlier .done', {hasText: 'A001'});
    await earlierA.waitFor(T);
    assert.equal(await page.locator('#finished .done').count(), 0, 'nothing finished in this run yet');
    // The red run stopped before copying and left no reports; the green one is listed.
    assert.equal(await page.locator('#earlier .done.green', {hasText: 'B002'}).count(), 1);
    assert.match(await earlierA.locator('.verdict.green').textContent(), /포맷 가능 · 파일 3개/);
    assert.match(await earlierA.locator('.earlier-dests').textContent(), /SSD1.*SSD2/);
    await page.locator('#earlier').scrollIntoViewIfNeeded();
    await shot('main-earlier.png');
    await earlierA.locator('button.open-report').click();
    await page.waitForURL(origin + '/report', T);
    await page.locator('.report-verdict .verdict.green').waitFor(T);
    await page.locator('.clip').first().waitFor(T);
    assert.equal(await page.locator('.clip').count(), 2);
    assert.equal(await page.locator('.clip', {hasText: 'C0001.MP4'}).locator('.cls').textContent(), movedTo, 'where it was moved to');
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
if (failed) console.log(log.split('\n').slice(-80).join('\n'));
process.exit(failed ? 1 : 0);
