// The page in Debian's chromium against a real `tolverdine serve`: a loop-mounted card image is
// picked up by the mount watcher, counted down, held, started, copied to two folders and turns
// green; its report lists the clips with still frames and moves one to another class; the
// library finds both copies. Usage: node serve.test.mjs TOLVERDINE
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
const [tolverdine] = process.argv.slice(2);
const chromiumPath = '/usr/bin/chromium';
if (!existsSync(chromiumPath)) skip('no ' + chromiumPath);
let chromium;
try { ({chromium} = createRequire(path.join(repo, 'package.json'))('playwright-core')); }
catch { skip('node_modules/playwright-core missing'); }
if (process.getuid() !== 0) skip('loop mounts need root');
if (!existsSync('/usr/bin/ffmpeg')) skip('no ffmpeg for the sample clips');
assert.ok(tolverdine && existsSync(tolverdine), 'usage: node serve.test.mjs TOLVERDINE');

const base = mkdtempSync(path.join(os.tmpdir(), 'tolv-serve-'));
const home = path.join(base, 'home'), src = path.join(base, 'src'), mnt = path.join(base, 'mnt');
const ssd1 = path.join(base, 'SSD1'), ssd2 = path.join(base, 'SSD2'), img = path.join(base, 'A001.img');
const card = path.join(mnt, 'A001');
for (const d of [home, path.join(src, 'PRIVATE/M4ROOT/CLIP'), card, ssd1, ssd2]) mkdirSync(d, {recursive: true});
for (const n of ['C0001', 'C0002'])
  execFileSync('/usr/bin/ffmpeg', ['-v', 'error', '-f', 'lavfi', '-i', 'testsrc=size=320x240:rate=10:duration=1',
    '-pix_fmt', 'yuv420p', path.join(src, 'PRIVATE/M4ROOT/CLIP', n + '.MP4')]);
writeFileSync(path.join(src, 'PRIVATE/M4ROOT/CLIP/C0001M01.XML'), '<?xml version="1.0"?>\n<NonRealTimeMeta/>\n');
execFileSync('/sbin/mkfs.ext4', ['-q', '-F', '-L', 'A001', '-d', src, img, '32M']);
const mounted = () => execFileSync('cat', ['/proc/self/mounts']).toString().includes(' ' + card + ' ');

const server = spawn(tolverdine, ['serve', '--watch', mnt, '--loop-removable'],
  {env: {...process.env, HOME: home}, stdio: ['ignore', 'pipe', 'pipe']});
let log = '';
server.stderr.on('data', d => { log += d; });
const url = await new Promise((resolve, reject) => {
  let out = '';
  server.stdout.on('data', d => { out += d; const m = out.match(/^(http:\S+)\n/m); if (m) resolve(m[1]); });
  server.on('exit', c => reject(new Error('serve exited ' + c + '\n' + log)));
  setTimeout(() => reject(new Error('no URL from serve')), 15000);
});
const port = Number(new URL(url).port);

let passed = 0, failed = 0;
async function check(name, fn) {
  try { await fn(); passed++; console.log('ok - ' + name); }
  catch (e) { failed++; console.log('not ok - ' + name + '\n  ' + String(e.stack || e).split('\n').slice(0, 4).join('\n  ')); }
}
const browser = await chromium.launch({executablePath: chromiumPath, headless: true, args: ['--no-sandbox']});
const page = await (await browser.newContext({viewport: {width: 980, height: 1100}, locale: 'ko-KR'})).newPage();
const T = {timeout: 10000};
const act = op => `button.act-${op}`;
const setting = k => page.locator(`.setting[data-key="${k}"]`);

try {
  await check('a request without the token is refused', async () => {
    const status = await new Promise((resolve, reject) => {
      http.get({host: '127.0.0.1', port, path: '/api/state'}, r => { r.resume(); resolve(r.statusCode); }).on('error', reject);
    });
    assert.equal(status, 403);
  });

  await check('terms, project, destinations and countdown are set on the page', async () => {
    await page.goto(url);
    await page.locator('.onboarding').waitFor(T);
    await page.locator('button.accept').click();
    await page.locator('.onboarding').waitFor({state: 'detached', timeout: 10000});
    await setting('project').locator('input').fill('E2E');
    await setting('project').locator('input').blur();
    await setting('autoSeconds').locator('input').fill('30');
    await setting('autoSeconds').locator('input').blur();
    await setting('ejectOnGreen').locator('input').uncheck();
    await setting('autoStart').locator('input').check();
    for (const d of [ssd1, ssd2]) {
      await page.fill('#add-dest', d);
      await page.click('button.add-dest');
      await page.locator('#dests li', {hasText: d}).waitFor(T);
    }
    await page.waitForFunction(() => !document.querySelector('.setting[data-key="ejectOnGreen"] input').checked, null, T);
  });

  const item = page.locator('.card', {hasText: 'A001'});
  await check('the mounted card appears, counts down, is held and started by hand, and ends green', async () => {
    execFileSync('/bin/mount', ['-o', 'loop', img, card]);
    await item.locator('text=/초 뒤 자동 시작/').waitFor({timeout: 20000});
    await item.locator(act('hold')).click();
    await item.locator('text=시작을 기다림').waitFor(T);
    await item.locator(act('start')).click();
    const verdict = item.locator('.verdict.green');
    await verdict.waitFor({timeout: 60000});
    assert.match(await verdict.textContent(), /복사 3 · 기존 0 — 검증 사본 2곳 이상, 카메라에서 포맷하세요/);
    await page.locator('#menu.green >> text=포맷 가능 1').waitFor(T);
  });

  await check('the report lists the clips with still frames and moves one to another class', async () => {
    await item.locator(act('report')).click();
    await page.waitForURL(`http://127.0.0.1:${port}/report`, T);
    const clip = page.locator('.clip', {hasText: 'C0001.MP4'});
    await clip.waitFor(T);
    assert.equal(await page.locator('.clip').count(), 2);
    await page.waitForFunction(() => { const i = document.querySelector('.clip img'); return i && i.complete && i.naturalWidth > 0; }, null, T);
    const before = await clip.locator('.cls').textContent();
    const to = before === '풀샷' ? '인터뷰' : '풀샷';
    await clip.locator('select').selectOption(to);
    await clip.locator('button.move-go').click();
    await clip.locator('.cls', {hasText: to}).waitFor(T);
  });

  await check('the project set-up is exported to a file typed on the page', async () => {
    await page.goto(`http://127.0.0.1:${port}/`);
    const file = path.join(base, 'E2E.tolverdine.json');
    await page.fill('#project-path', file);
    await page.click('button.export-project');
    for (let i = 0; i < 100 && !existsSync(file); i++) await new Promise(r => setTimeout(r, 50));
    assert.ok(existsSync(file), 'no project file written');
    assert.match(readFileSync(file, 'utf8'), /"name": "E2E"/);
  });

  await check('the library finds both copies of the clip', async () => {
    await page.goto(`http://127.0.0.1:${port}/library`);
    await page.fill('#search', 'C0002');
    await page.press('#search', 'Enter');
    await page.locator('tr.hit', {hasText: 'C0002.MP4'}).first().waitFor(T);
    assert.equal(await page.locator('tr.hit').count(), 2);
  });
} finally {
  await browser.close();
  server.kill('SIGTERM');
  await new Promise(r => server.on('exit', r));
  if (mounted()) execFileSync('/bin/umount', [card]);
  rmSync(base, {recursive: true, force: true});
}
console.log(`${passed} passed, ${failed} failed`);
if (failed) console.log(log.split('\n').slice(-30).join('\n'));
process.exit(failed ? 1 : 0);
