// Browser checks of `quorlina serve` in Debian's chromium, driven by playwright-core: the page
// opens with the token and not without it; eight tiles play over one WebSocket and every picture
// changes; a click on an output switches it on the camera and the tile's status shows it; an
// arrow moves pan; a key switches output 2; the console runs a line; a page from another origin
// cannot open the WebSocket. Starts its own camera and server on 127.0.0.1 and stops them.
// usage: node page_test.mjs QUORLINA_BINARY SCREENSHOT_DIR
import { spawn } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const [binary, shots] = process.argv.slice(2);
const kChromium = process.env.QUORLINA_CHROMIUM || "/usr/lib/chromium/chromium";
const kTiles = 8;
const kTimeoutMs = 30000; // per wait; the whole run is bounded below
const kRunLimitMs = 240000;
const kToken = "browser-test-token-0123456789";

const children = [];
let passed = 0;
let failed = 0;

function check(name, ok, detail = "") {
  if (ok) passed++;
  else failed++;
  console.log(`${ok ? "ok  " : "FAIL"} ${name}${detail ? ": " + detail : ""}`);
}

// Starts a program and resolves with the first stdout match of `pattern`.
function start(args, pattern) {
  return new Promise((resolve, reject) => {
    const child = spawn(binary, args, { stdio: ["ignore", "pipe", "pipe"] });
    children.push(child);
    let out = "";
    const timer = setTimeout(() => reject(new Error(`${args[0]} printed nothing usable: ${out}`)), kTimeoutMs);
    const look = (chunk) => {
      out += chunk;
      const m = out.match(pattern);
      if (m) {
        clearTimeout(timer);
        resolve(m);
      }
    };
    child.stdout.on("data", look);
    child.stderr.on("data", (c) => process.stderr.write(c));
    child.on("exit", (code) => reject(new Error(`${args[0]} exited with ${code}: ${out}`)));
  });
}

function get(url) {
  return new Promise((resolve, reject) => {
    http.get(url, (res) => {
      let body = "";
      res.on("data", (c) => (body += c));
      res.on("end", () => resolve({ status: res.statusCode, body }));
    }).on("error", reject);
  });
}

async function until(what, fn, ms = kTimeoutMs) {
  const end = Date.now() + ms;
  let last;
  while (Date.now() < end) {
    try {
      last = await fn();
      if (last) return last;
    } catch (e) {
      last = e.message;
    }
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`${what} did not happen within ${ms} ms (last: ${JSON.stringify(last)})`);
}

async function main() {
  fs.mkdirSync(shots, { recursive: true });
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "quorlina-browser-"));
  const [, cameraPort] = await start(["camera", "--http", "0", "--quiet"], /camera: http 127\.0\.0\.1:(\d+)/);
  const cameraUrl = `http://127.0.0.1:${cameraPort}`;
  const config = {
    token: kToken,
    cameras: Array.from({ length: kTiles }, (_, i) => ({ name: `cam${i + 1}`, target: cameraUrl })),
  };
  fs.writeFileSync(path.join(dir, "cameras.json"), JSON.stringify(config));
  const [, base] = await start(
    ["serve", "--config", path.join(dir, "cameras.json"), "--listen", "127.0.0.1:0"],
    /open (http:\/\/127\.0\.0\.1:\d+\/)\?token=/);

  const context = await chromium.launchPersistentContext(path.join(dir, "profile"), {
    executablePath: kChromium,
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
    viewport: { width: 1400, height: 1000 },
  });
  try {
    const page = await context.newPage();
    const sockets = [];
    page.on("websocket", (ws) => sockets.push(ws.url()));

    const refused = await page.goto(base);
    check("without the token the page gets 401", refused.status() === 401, `status ${refused.status()}`);

    const opened = await page.goto(`${base}?token=${kToken}`);
    check("with the token the page opens", opened.status() === 200 && !page.url().includes("token="),
      `status ${opened.status()}, at ${page.url()}`);

    const tiles = page.locator("quorlina-tile");
    await until("eight tiles", async () => (await tiles.count()) === kTiles);
    // Every tile's picture changes: each has shown several frames and holds a picture.
    const frames = async () => page.$$eval("quorlina-tile", (ts) => ts.map((t) => Number(t.dataset.frames || 0)));
    const first = await until("a frame in every tile", async () => {
      const f = await frames();
      return f.every((n) => n >= 1) && f;
    });
    const later = await until("new frames in every tile", async () => {
      const f = await frames();
      return f.every((n, i) => n >= first[i] + 3) && f;
    });
    check("every tile's picture changes", true, `frames ${first.join(",")} -> ${later.join(",")}`);
    await until("a picture in every tile", async () =>
      page.$$eval("quorlina-tile img", (imgs) => imgs.every((i) => i.naturalWidth > 0)));
    check("every tile shows a picture", true);
    check("eight tiles play over one WebSocket", sockets.length === 1, `${sockets.length} sockets`);
    await page.screenshot({ path: path.join(shots, "page-eight-tiles.png"), fullPage: true });

    const tile = page.locator('quorlina-tile[camera="cam1"]');
    await tile.locator("button.out1").click();
    await until("output 1 on at the camera", async () => /Trigger1=1/.test((await get(`${cameraUrl}/iocontrol.cgi`)).body));
    check("clicking Out 1 switches output 1 on the camera", true);
    await until("out1 1 in the tile's status", async () => /out1 1/.test(await tile.locator(".status").textContent()));
    check("the tile's status shows output 1 on", true, await tile.locator(".status").textContent());

    const pan = async () => Number(((await tile.locator(".status").textContent()).match(/pan (-?\d+)/) || [])[1]);
    // The camera's device line has arrived once its clock shows.
    await until("the device clock in the status", async () => /\d{4}-\d\d-\d\d/.test(await tile.locator(".status").textContent()));
    const panBefore = await until("a pan position", async () => { const p = await pan(); return Number.isFinite(p) && p > 0 && { p }; });
    await tile.locator("button.right").click();
    const panAfter = await until("pan to move", async () => { const p = await pan(); return p !== panBefore.p && { p }; });
    check("an arrow moves pan", panAfter.p !== panBefore.p, `${panBefore.p} -> ${panAfter.p}`);

    await tile.focus();
    await page.keyboard.press("2");
    await until("output 2 on at the camera", async () => /Trigger2=1/.test((await get(`${cameraUrl}/iocontrol.cgi`)).body));
    check("key 2 on the focused tile switches output 2", true);

    await tile.locator(".console .line").fill("print IOOut1 PanSingleMoveDegree");
    await tile.locator('.console button[type="submit"]').click();
    const out = await until("console output", async () => {
      const t = await tile.locator(".output").textContent();
      return /PanSingleMoveDegree = 1/.test(t) && t;
    });
    check("the console runs a line", /IOOut1 = 1/.test(out), out.trim());
    await tile.screenshot({ path: path.join(shots, "tile-after-commands.png") });

    // Another origin: a page on another port of the same machine (so the cookie would go along)
    // tries the WebSocket; the server refuses the upgrade.
    const foreign = http.createServer((req, res) => {
      res.writeHead(200, { "Content-Type": "text/html" });
      res.end(`<!doctype html><script>
        const ws = new WebSocket(${JSON.stringify(base.replace("http", "ws") + "ws")});
        ws.onopen = () => { document.title = "opened"; };
        ws.onerror = () => { document.title = "refused"; };
      </script>`);
    });
    await new Promise((r) => foreign.listen(0, "127.0.0.1", r));
    const other = await context.newPage();
    await other.goto(`http://127.0.0.1:${foreign.address().port}/`);
    const verdict = await until("the foreign page's verdict", async () => {
      const t = await other.title();
      return t === "opened" || t === "refused" ? t : false;
    });
    check("a page from another origin cannot open the WebSocket", verdict === "refused", verdict);
    foreign.close();
  } finally {
    await context.close();
  }
}

const limit = setTimeout(() => {
  console.log("FAIL the run took longer than its limit");
  for (const c of children) c.kill("SIGKILL");
  process.exit(1);
}, kRunLimitMs);

try {
  await main();
} catch (e) {
  check("the run completes", false, e.stack || String(e));
} finally {
  for (const c of children) c.kill("SIGTERM");
  clearTimeout(limit);
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 && passed > 0 ? 0 : 1);
