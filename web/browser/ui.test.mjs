// The web page in Debian's chromium against web_demo_server: cards, destinations, terms, library,
// report, and the refusals of foreign requests. Usage: node ui.test.mjs DEMO_SERVER [SHOT_DIR]
// Exits 77 (skipped) when chromium or the node modules are missing.
import {spawn} from 'node:child_process';
import {createRequire} from 'node:module';
import {existsSync, mkdtempSync, mkdirSync, rmSync} from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';
import assert from 'node:assert/strict';

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const [serverBin, shotDir] = process.argv.slice(2);
const chromiumPath = '/usr/bin/chromium';
if (!existsSync(chromiumPath)) { console.log('SKIP: no ' + chromiumPath + ' (scripts/install-deps installs it)'); process.exit(77); }
let chromium;
try {
  ({chromium} = createRequire(path.join(repo, 'package.json'))('playwright-core'));
} catch {
  console.log('SKIP: node_modules/playwright-core missing (scripts/install-deps runs npm ci)');
  process.exit(77);
}
assert.ok(serverBin && existsSync(serverBin), 'usage: node ui.test.mjs DEMO_SERVER [SHOT_DIR]');

const home = mkdtempSync(path.join(os.tmpdir(), 'tolv-web-'));
const server = spawn(serverBin, ['--drive'], {env: {...process.env, HOME: home}, stdio: ['ignore', 'pipe', 'inherit']});
const url = await new Promise((resolve, reject) => {
  let out = '';
  server.stdout.on('data', d => { out += d; const m = out.match(/^(http:\S+)\n/m); if (m) resolve(m[1]); });
  server.on('exit', c => reject(new Error('demo server exited ' + c)));
  setTimeout(() => reject(new Error('no URL from the demo server')), 10000);
});
const u = new URL(url);
const port = Number(u.port);
const token = u.searchParams.get('token');

function raw(method, pathname, headers, body) {
  return new Promise((resolve, reject) => {
    const req = http.request({host: '127.0.0.1', port, method, path: pathname, headers}, res => {
      let data = '';
      res.on('data', d => { data += d; });
      res.on('end', () => resolve({status: res.statusCode, body: data}));
    });
    req.on('error', reject);
    if (body) req.write(body);
    req.end();
  });
}
const drive = (what, body) => raw('POST', '/test/' + what, {'X-Tolverdine-Token': token, 'Content-Type': 'application/json'}, JSON.stringify(body || {}));
const calls = async () => JSON.parse((await drive('calls')).body);

let passed = 0, failed = 0;
async function check(name, fn) {
  try { await fn(); passed++; console.log('ok - ' + name); }
  catch (e) { failed++; console.log('not ok - ' + name + '\n  ' + String(e.stack || e).split('\n').slice(0, 4).join('\n  ')); }
}

const browser = await chromium.launch({executablePath: chromiumPath, headless: true, args: ['--no-sandbox']});
const ctx = await browser.newContext({viewport: {width: 980, height: 1100}, locale: 'ko-KR'});
const page = await ctx.newPage();
const T = {timeout: 5000};
const act = op => `button.act-${op}`;

try {
  await check('foreign requests are refused and act on nothing', async () => {
    assert.equal((await raw('GET', '/api/state', {})).status, 403);
    assert.equal((await raw('GET', '/events', {})).status, 403);
    assert.equal((await raw('GET', '/api/state', {Cookie: `tolverdine_${port}=${'0'.repeat(64)}`})).status, 403);
    const body = JSON.stringify({op: 'addDestination', args: {path: '/evil'}});
    const hdr = {'X-Tolverdine-Token': token, 'Content-Type': 'application/json'};
    assert.equal((await raw('POST', '/api/act', {'Content-Type': 'application/json'}, body)).status, 403);
    assert.equal((await raw('POST', '/api/act', {...hdr, Origin: 'http://evil.example'}, body)).status, 403);
    assert.equal((await raw('POST', '/api/act', {...hdr, Host: `evil.example:${port}`}, body)).status, 403);
    assert.deepEqual(await calls(), []);
  });

  await check('the token address is kept by the tab, not by a cookie, and leaves the address bar', async () => {
    await page.goto(url);
    assert.equal(page.url(), `http://127.0.0.1:${port}/`);
    assert.deepEqual(await ctx.cookies(), []);
    await page.locator('#live.on').waitFor(T);
    await page.locator('text=카드를 꽂으면 여기에 나타납니다').waitFor(T);
    // A first run guides the first steps instead of showing empty lists.
    assert.equal(await page.locator('.first-steps li').count(), 3);
    assert.ok(await page.locator('#finished-head').isHidden());
    assert.ok(await page.locator('#earlier-head').isHidden());
    await page.goto(`http://127.0.0.1:${port}/settings`);
    await page.locator('#live.on').waitFor(T);
    await page.locator('.setting[data-key="copies"] >> text=필요한 검증 사본 수').waitFor(T);
    await page.locator('.setting[data-key="recapCommand"] >> text=리캡 명령 (초록 뒤 실행, 비우면 꺼짐)').waitFor(T);
    await page.goto(`http://127.0.0.1:${port}/`);
    await page.locator('#live.on').waitFor(T);
  });

  const card = page.locator('.card', {hasText: 'A001'});
  await check('a mounted card appears and counts down', async () => {
    await drive('mount', {name: 'A001', files: 3, bytes: 2000000000, countdown: 3});
    await card.locator('text=3초 뒤 자동 시작').waitFor(T);
    await drive('tick');
    await card.locator('text=2초 뒤 자동 시작').waitFor(T);
  });

  await check('hold stops the countdown; start waits for the terms', async () => {
    await card.locator(act('hold')).click();
    await card.locator('text=시작을 기다림').waitFor(T);
    await drive('tick');
    await card.locator(act('start')).click();
    await card.locator('text=먼저 사용 약관에 동의하세요').waitFor(T);
    await page.locator('.onboarding').waitFor(T);
  });

  await check('accepting the terms closes the onboarding and the card starts', async () => {
    await page.locator('button.accept').click();
    await page.locator('.onboarding').waitFor({state: 'detached', timeout: 5000});
    await card.locator(act('start')).click();
    await card.locator('text=차례를 기다리는 중').waitFor(T);
    assert.ok((await calls()).some(c => c.op === 'acceptTerms'));
  });

  await check('progress moves and the card ends green with its Korean text', async () => {
    await drive('tick');
    await card.locator('.bar').waitFor(T);
    const widths = [];
    for (let i = 0; i < 3; i++) {
      await drive('tick');
      await page.waitForFunction(w => {
        const f = document.querySelector('.card .fill.copied');
        return f && f.style.width !== w;
      }, widths.at(-1) ?? '', T);
      widths.push(await card.locator('.fill.copied').evaluate(e => e.style.width));
    }
    const n = widths.map(parseFloat);
    assert.ok(n[0] < n[1] && n[1] < n[2], widths.join(' '));
    await card.locator('text=/남은 시간/').waitFor(T);
    await drive('tick'); await drive('tick');
    const verdict = card.locator('.verdict.green');
    await verdict.waitFor(T);
    assert.match(await verdict.textContent(), /복사 3 · 기존 0 — 검증 사본 2곳 이상, 카메라에서 포맷하세요/);
    await page.locator('#menu.green >> text=포맷 가능 1').waitFor(T);
    await page.locator('.done.green', {hasText: 'A001'}).waitFor(T);
  });

  await check('a small card counts in megabytes, not 0.0GB', async () => {
    await drive('mount', {name: 'S005', files: 4, bytes: 50000000, countdown: 0});
    const small = page.locator('.card', {hasText: 'S005'});
    await small.waitFor(T);
    await drive('tick');
    await drive('tick');
    await small.locator('.nums', {hasText: '0.0MB / 50.0MB'}).waitFor(T);
    await drive('tick');
    await page.locator('.done.green', {hasText: 'S005'}).waitFor(T);
  });

  await check('a destination is added by path and removed', async () => {
    await page.goto(`http://127.0.0.1:${port}/settings`);
    await page.locator('#live.on').waitFor(T);
    await page.fill('#add-dest', 'relative/path');
    await page.click('button.add-dest');
    await page.locator('#message.bad').waitFor(T);
    await page.fill('#add-dest', '/media/demo/SSD_B');
    await page.click('button.add-dest');
    const li = page.locator('#dests li', {hasText: '/media/demo/SSD_B'});
    await li.waitFor(T);
    await li.locator('button.remove').click();
    await li.waitFor({state: 'detached', timeout: 5000});
    await page.fill('#add-dest', '/media/demo/SSD_A');
    await page.click('button.add-dest');
    await page.locator('#dests li', {hasText: '/media/demo/SSD_A'}).waitFor(T);
    await page.fill('#add-cascade', '/media/demo/NAS');
    await page.click('button.add-cascade');
    await page.locator('#cascade li', {hasText: '/media/demo/NAS'}).waitFor(T);
  });

  if (shotDir) {
    mkdirSync(shotDir, {recursive: true});
    await page.goto(`http://127.0.0.1:${port}/`);
    await drive('mount', {name: 'B002', files: 12, bytes: 64000000000, countdown: 8});
    await page.locator('.card', {hasText: 'B002'}).waitFor(T);
    await page.screenshot({path: path.join(shotDir, 'main.png'), fullPage: false});
  }

  await check('the library search shows a hit and moving it shows on the report page', async () => {
    await page.goto(`http://127.0.0.1:${port}/library`);
    await page.fill('#search', 'C0012');
    await page.press('#search', 'Enter');
    const hit = page.locator('tr.hit', {hasText: 'C0012.MP4'});
    await hit.waitFor(T);
    assert.equal(await page.locator('tr.hit').count(), 1);
    assert.equal(await hit.locator('select').inputValue(), '인터뷰', 'the menu starts on the clip\'s class');
    await hit.locator('select').selectOption('풀샷');
    await hit.locator('button.move-go').click();
    await hit.locator('text=A캠/1_0930-1015/풀샷/C0012.MP4').waitFor(T);
    await page.goto(`http://127.0.0.1:${port}/`);
    await page.locator('.card', {hasText: 'A001'}).locator(act('report')).click();
    await page.waitForURL(`http://127.0.0.1:${port}/report`, T);
    const clip = page.locator('.clip', {hasText: 'C0012.MP4'});
    await clip.locator('.cls', {hasText: '풀샷'}).waitFor(T);
    await page.locator('#spot').waitFor(T);
    if (shotDir) await page.screenshot({path: path.join(shotDir, 'report.png'), fullPage: false});
  });
} finally {
  await browser.close();
  server.kill('SIGTERM');
  await new Promise(r => server.on('exit', r));
  rmSync(home, {recursive: true, force: true});
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
