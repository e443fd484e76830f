// Drives the webcam page in Debian's headless chromium through playwright-core, at a desktop and a
// phone width, and keeps screenshots of what it saw.
// Usage: node page_check.cjs PLAYWRIGHT_CORE_DIR CHROMIUM PAGE_URL SCREENSHOT_DIR
// The server behind PAGE_URL fails every snapshot while the cookie stillcam_fail=1 is set.
"use strict";
const fs = require("fs");
const path = require("path");
const [playwrightDir, chromiumPath, pageUrl, screenshotDir] = process.argv.slice(2);
const { chromium } = require(playwrightDir);

const kTimeout = 15000;
// An afternoon hour, so that a 12-hour clock could not pass for a 24-hour one.
const kStart = new Date("2026-03-01T15:04:05Z");
let failures = 0;

function check(condition, what) {
  console.log((condition ? "ok   " : "FAIL ") + what);
  if (!condition) failures++;
}

// The picture on screen, as the visitor sees it.
function shown(page) {
  return page.evaluate(() => {
    const img = document.getElementById("snapshot");
    const box = document.getElementById("picture").getBoundingClientRect();
    const drawn = img.getBoundingClientRect();
    return {
      url: img.dataset.url || "", src: img.src, complete: img.complete, width: img.naturalWidth,
      height: img.naturalHeight, box: { width: box.width, height: box.height },
      drawn: { x: drawn.x - box.x, y: drawn.y - box.y, width: drawn.width, height: drawn.height },
    };
  });
}

function waitForPicture(page, width, notUrl) {
  return page.waitForFunction(
    ([w, old]) => {
      const img = document.getElementById("snapshot");
      return img.complete && img.naturalWidth === w && (img.dataset.url || "") !== old;
    },
    [width, notUrl === undefined ? "" : notUrl], { timeout: kTimeout });
}

// Where everything around the picture sits: none of it may move when a new picture of the same size
// arrives.
function layout(page) {
  return page.evaluate(() => ["picture", "info", "choices", "now"].map((id) => {
    const r = document.getElementById(id).getBoundingClientRect();
    return [id, Math.round(r.x), Math.round(r.y), Math.round(r.width), Math.round(r.height)].join(" ");
  }).join(", "));
}

async function screenshot(page, name) {
  await page.screenshot({ path: path.join(screenshotDir, name + ".png"), fullPage: true });
}

async function main() {
  fs.mkdirSync(screenshotDir, { recursive: true });
  const browser = await chromium.launch({
    executablePath: chromiumPath,
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync"],
  });
  try {
    for (const [label, viewport] of [["desktop", { width: 1280, height: 900 }], ["phone", { width: 375, height: 667 }]]) {
      const context = await browser.newContext({ viewport, timezoneId: "UTC", locale: "en-US", acceptDownloads: true });
      await context.clock.install({ time: kStart });
      await checkPage(context, label, viewport);
      await context.close();
    }
  } finally {
    await browser.close();
  }
}

async function checkPage(context, label, viewport) {
  const page = await context.newPage();
  const snapshotUrls = [];
  page.on("request", (request) => {
    if (request.url().includes("/cgi-bin/stillcam")) snapshotUrls.push(new URL(request.url()));
  });
  // Sampled at every frame the browser draws: the picture on screen is never an incomplete one, so
  // it never flickers or shows half an image. Layout shifts are summed as the browser reports them.
  await page.addInitScript(() => {
    window.incompleteFrames = 0;
    window.layoutShift = 0;
    const sample = () => {
      const img = document.getElementById("snapshot");
      if (img && img.hasAttribute("src") && !(img.complete && img.naturalWidth > 0)) window.incompleteFrames++;
      requestAnimationFrame(sample);
    };
    requestAnimationFrame(sample);
    new PerformanceObserver((list) => {
      for (const entry of list.getEntries()) window.layoutShift += entry.value;
    }).observe({ type: "layout-shift", buffered: true });
  });

  // The first picture: large wherever it fits the window, medium on a phone.
  await page.goto(pageUrl);
  await page.selectOption("#interval", "0");
  const firstWidth = label === "desktop" ? 640 : 320;
  await waitForPicture(page, firstWidth);
  let picture = await shown(page);
  check(picture.height === firstWidth * 3 / 4, `${label}: the first picture is ${firstWidth}x${firstWidth * 3 / 4}`);
  // The box is the picture: same aspect ratio, the picture covering all of it (no letterboxing).
  check(Math.abs(picture.box.width / picture.box.height - picture.width / picture.height) < 0.01 &&
        Math.abs(picture.drawn.x) < 1 && Math.abs(picture.drawn.y) < 1 &&
        Math.abs(picture.drawn.width - picture.box.width) < 1 && Math.abs(picture.drawn.height - picture.box.height) < 1,
        `${label}: the picture fills its box exactly (${JSON.stringify(picture.drawn)} in ${JSON.stringify(picture.box)})`);
  if (label === "desktop") check(picture.drawn.width === 640, `${label}: the large picture is shown at its own size`);

  // When it arrived, in 24-hour form, and how old it is, counting up.
  const status = (await page.textContent("#status")).trim();
  check(/^Arrived at 15:04:\d\d$/.test(status), `${label}: arrival time in 24-hour form ("${status}")`);
  const age = async () => Number(((await page.textContent("#age")).match(/^(\d+) s ago$/) || [])[1]);
  const ageBefore = await age();
  await context.clock.runFor(3000);
  const ageAfter = await age();
  // The page counts whole seconds on its own one-second beat, so three seconds show as two or three.
  check(ageBefore >= 0 && ageAfter >= ageBefore + 2, `${label}: the age ticks ("${ageBefore} s ago", then "${ageAfter} s ago")`);
  await screenshot(page, `page-${label}`);

  // A new picture of the same size moves nothing.
  const before = await layout(page);
  const shiftBefore = await page.evaluate(() => window.layoutShift);
  await page.selectOption("#interval", "1");
  await context.clock.runFor(1100);
  await waitForPicture(page, firstWidth, picture.url);
  await page.selectOption("#interval", "0");
  const after = await layout(page);
  const shift = (await page.evaluate(() => window.layoutShift)) - shiftBefore;
  check(before === after && shift === 0, `${label}: a new picture moves nothing (${after}; layout shift ${shift})`);
  picture = await shown(page);

  // Saving gives exactly the bytes on screen.
  const [download] = await Promise.all([page.waitForEvent("download", { timeout: kTimeout }), page.click("#save")]);
  const saved = fs.readFileSync(await download.path());
  const onScreen = Buffer.from(await page.evaluate(async () => {
    const response = await fetch(document.getElementById("snapshot").src);
    return Array.from(new Uint8Array(await response.arrayBuffer()));
  }));
  check(saved.length > 0 && saved[0] === 0xff && saved[1] === 0xd8 && saved.equals(onScreen),
        `${label}: "Save picture" saves the picture on screen (${saved.length} bytes)`);
  check(/^webcam-2026-03-01-1504\d\d\.jpg$/.test(download.suggestedFilename()),
        `${label}: the saved file is named by its arrival ("${download.suggestedFilename()}")`);

  // Full screen by click and by keyboard; the same again goes back.
  const fullScreen = () => page.evaluate(() => {
    const figure = document.getElementById("picture");
    const img = document.getElementById("snapshot").getBoundingClientRect();
    const on = document.fullscreenElement === figure || figure.classList.contains("fullview");
    return { on, width: Math.round(img.width), height: Math.round(img.height) };
  });
  await page.click("#picture");
  await page.waitForFunction(() => document.fullscreenElement || document.querySelector(".fullview"), null, { timeout: kTimeout });
  let full = await fullScreen();
  check(full.on && (full.width === viewport.width || full.height === viewport.height),
        `${label}: a click shows the picture full screen (${full.width}x${full.height})`);
  await screenshot(page, `page-${label}-full-screen`);
  await page.click("#picture");
  await page.waitForFunction(() => !document.fullscreenElement && !document.querySelector(".fullview"), null, { timeout: kTimeout });
  await page.focus("#picture");
  await page.keyboard.press("Enter");
  await page.waitForFunction(() => document.fullscreenElement || document.querySelector(".fullview"), null, { timeout: kTimeout });
  await page.keyboard.press("Enter");
  await page.waitForFunction(() => !document.fullscreenElement && !document.querySelector(".fullview"), null, { timeout: kTimeout });
  full = await fullScreen();
  check(!full.on, `${label}: Enter on the picture shows it full screen and back`);

  // Every control is reached with Tab, and aligned with its neighbours.
  await page.evaluate(() => document.activeElement && document.activeElement.blur());
  const reached = new Set();
  for (let i = 0; i < 12; i++) {
    await page.keyboard.press("Tab");
    reached.add(await page.evaluate(() => {
      const e = document.activeElement;
      return e.id || (e.name ? e.name + ":" + e.value : e.tagName);
    }));
  }
  const wanted = ["picture", "save", "interval", "now"];
  check(wanted.every((id) => reached.has(id)) && [...reached].some((r) => r.startsWith("size:")) &&
        [...reached].some((r) => r.startsWith("caption:")), `${label}: Tab reaches every control (${[...reached].join(", ")})`);
  const centres = await page.evaluate(() => ["label[for=interval]", "#interval", "#now"].map((selector) => {
    const r = document.querySelector(selector).getBoundingClientRect();
    return r.y + r.height / 2;
  }));
  check(Math.max(...centres) - Math.min(...centres) <= 2, `${label}: "Refresh", its list and "Refresh now" line up (${centres})`);

  // The sizes and captions by keyboard and mouse, each asked with its keyword.
  await page.focus(`input[name=size][value=${label === "desktop" ? "large" : "medium"}]`);
  await page.keyboard.press(label === "desktop" ? "ArrowLeft" : "ArrowRight");
  const keyedWidth = label === "desktop" ? 320 : 640;
  await waitForPicture(page, keyedWidth, picture.url);
  picture = await shown(page);
  check(picture.height === keyedWidth * 3 / 4, `${label}: an arrow key on the sizes loads ${keyedWidth}x${keyedWidth * 3 / 4}`);

  await page.check("input[name=size][value=large]");
  if (picture.width !== 640) await waitForPicture(page, 640, picture.url);
  const plainLarge = (await shown(page)).url;
  await page.check("input[name=caption][value=bold]");
  await waitForPicture(page, 640, plainLarge);
  picture = await shown(page);
  check(/[?]large&boldtimestamp&t=\d+$/.test(picture.url) && picture.height === 480,
        `${label}: a large picture with the bold caption is asked with large&boldtimestamp`);
  // With a caption the picture keeps its own size, so the caption stays legible; where the screen is
  // narrower, the picture scrolls sideways and the page does not.
  const fit = await page.evaluate(() => {
    const frame = document.getElementById("frame");
    return { scale: document.getElementById("snapshot").getBoundingClientRect().width / 640,
             frameScrolls: frame.scrollWidth > frame.clientWidth,
             pageWidth: document.documentElement.scrollWidth };
  });
  check(fit.scale === 1, `${label}: the captioned picture is drawn at its own size (scale ${fit.scale})`);
  check(fit.frameScrolls === (label === "phone") && fit.pageWidth <= viewport.width,
        `${label}: ${label === "phone" ? "the picture scrolls sideways, the page does not" : "nothing scrolls sideways"}`);
  await screenshot(page, `page-${label}-large-caption`);
  await page.check("input[name=caption][value=none]");
  await waitForPicture(page, 640, picture.url);
  picture = await shown(page);
  const plainScale = picture.drawn.width / 640;
  check(label === "phone" ? plainScale < 1 : plainScale === 1,
        `${label}: without a caption the large picture fits the width (scale ${plainScale.toFixed(2)})`);

  await page.check("input[name=size][value=small]");
  await page.check("input[name=caption][value=bold]");
  await page.waitForFunction(() => /[?]boldtimestamp&t=\d+$/.test(document.getElementById("snapshot").dataset.url || ""),
                             null, { timeout: kTimeout });
  picture = await shown(page);
  check(picture.width === 160 && picture.height === 120, `${label}: small with bold caption loads 160x120 with boldtimestamp`);

  // The camera fails: the page says so, in 24-hour form, and keeps the last good picture.
  await context.addCookies([{ name: "stillcam_fail", value: "1", url: pageUrl }]);
  await page.click("#now");
  await page.waitForFunction(() => document.getElementById("status").classList.contains("failed"),
                             null, { timeout: kTimeout });
  const failure = (await page.textContent("#status")).trim();
  const kept = await shown(page);
  check(/^The camera did not answer at 15:\d\d:\d\d; this picture is from 15:\d\d:\d\d\.$/.test(failure),
        `${label}: a failed snapshot is reported ("${failure}")`);
  check(kept.src === picture.src && kept.complete && kept.width === 160, `${label}: the last picture stays`);
  await screenshot(page, `page-${label}-camera-failed`);

  // And recovers once the camera answers again.
  await context.clearCookies();
  await page.click("#now");
  await waitForPicture(page, 160, kept.url);
  const recovered = await page.evaluate(() => document.getElementById("status").classList.contains("failed"));
  check(!recovered, `${label}: the message goes once a picture arrives again`);

  const end = await page.evaluate(() => ({
    scrollWidth: document.documentElement.scrollWidth,
    incompleteFrames: window.incompleteFrames,
  }));
  check(end.scrollWidth <= viewport.width, `${label}: the page is no wider than the screen`);
  check(end.incompleteFrames === 0, `${label}: only complete pictures were on screen`);

  const busters = snapshotUrls.map((url) => url.search.match(/&?t=(\d+)$/));
  check(busters.every(Boolean), `${label}: every snapshot URL ends in a numeric t= parameter`);
  check(new Set(snapshotUrls.map(String)).size === snapshotUrls.length, `${label}: no snapshot URL repeats`);

  // The choices outlive a reload: small, bold, refresh off.
  await page.reload();
  await waitForPicture(page, 160);
  const reloaded = await shown(page);
  const interval = await page.inputValue("#interval");
  check(/[?]boldtimestamp&t=\d+$/.test(reloaded.url) && interval === "0", `${label}: a reload keeps the choices`);
  await page.close();
}

main().then(
  () => {
    console.log(failures === 0 ? "page checks passed" : failures + " page checks failed");
    console.log("screenshots in " + screenshotDir);
    process.exit(failures === 0 ? 0 : 1);
  },
  (error) => {
    console.error(error);
    process.exit(1);
  });
