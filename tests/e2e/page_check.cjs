// Drives the webcam page in Debian's headless chromium through playwright-core.
// Usage: node page_check.cjs PLAYWRIGHT_CORE_DIR CHROMIUM PAGE_URL
// The server behind PAGE_URL fails every snapshot while the cookie stillcam_fail=1 is set.
"use strict";
const [playwrightDir, chromiumPath, pageUrl] = process.argv.slice(2);
const { chromium } = require(playwrightDir);

const kTimeout = 15000;
let failures = 0;

function check(condition, what) {
  console.log((condition ? "ok   " : "FAIL ") + what);
  if (!condition) failures++;
}

// The picture on screen, as the visitor sees it.
function shown(page) {
  return page.evaluate(() => {
    const img = document.getElementById("snapshot");
    return { src: img.src, complete: img.complete, width: img.naturalWidth, height: img.naturalHeight };
  });
}

function waitForPicture(page, width, notSrc) {
  return page.waitForFunction(
    ([w, old]) => {
      const img = document.getElementById("snapshot");
      return img.complete && img.naturalWidth === w && img.src !== old;
    },
    [width, notSrc || ""], { timeout: kTimeout });
}

async function main() {
  const browser = await chromium.launch({
    executablePath: chromiumPath,
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync"],
  });
  try {
    for (const viewport of [{ width: 1280, height: 900 }, { width: 375, height: 667 }]) {
      const context = await browser.newContext({ viewport });
      await checkPage(context, viewport);
      await context.close();
    }
  } finally {
    await browser.close();
  }
}

async function checkPage(context, viewport) {
  const label = viewport.width + "px";
  const page = await context.newPage();
  const snapshotUrls = [];
  page.on("request", (request) => {
    if (request.url().includes("/cgi-bin/stillcam")) snapshotUrls.push(new URL(request.url()));
  });
  // Sampled at every frame the browser draws: the picture on screen is never an incomplete one, so
  // it never flickers or shows half an image. The empty placeholder of the page's markup has no src.
  await page.addInitScript(() => {
    window.incompleteFrames = 0;
    const sample = () => {
      const img = document.getElementById("snapshot");
      if (img && img.hasAttribute("src") && !(img.complete && img.naturalWidth > 0)) window.incompleteFrames++;
      requestAnimationFrame(sample);
    };
    requestAnimationFrame(sample);
  });

  await page.goto(pageUrl);
  await page.selectOption("#interval", "0");
  await waitForPicture(page, 320);
  let picture = await shown(page);
  check(picture.width === 320 && picture.height === 240, `${label}: first picture is medium, 320x240`);

  await page.check("input[name=size][value=large]");
  await waitForPicture(page, 640, picture.src);
  picture = await shown(page);
  check(picture.height === 480 && /[?]large&t=\d+$/.test(picture.src), `${label}: large loads a 640x480 picture`);

  await page.check("input[name=caption][value=bold]");
  await waitForPicture(page, 640, picture.src);
  picture = await shown(page);
  check(/[?]large&boldtimestamp&t=\d+$/.test(picture.src), `${label}: bold caption asked with boldtimestamp`);

  await page.check("input[name=size][value=small]");
  await waitForPicture(page, 160, picture.src);
  picture = await shown(page);
  check(picture.height === 120 && /[?]boldtimestamp&t=\d+$/.test(picture.src), `${label}: small loads 160x120`);

  // The automatic refresh replaces the picture on its own.
  await page.selectOption("#interval", "1");
  await waitForPicture(page, 160, picture.src);
  const refreshed = await shown(page);
  check(refreshed.src !== picture.src, `${label}: a refresh replaces the picture`);
  await page.selectOption("#interval", "0");
  picture = await shown(page);

  // The camera fails: the page says so and keeps the last good picture.
  await context.addCookies([{ name: "stillcam_fail", value: "1", url: pageUrl }]);
  await page.click("#now");
  await page.waitForFunction(() => document.getElementById("status").classList.contains("failed"),
                             null, { timeout: kTimeout });
  const status = await page.textContent("#status");
  const kept = await shown(page);
  check(/did not answer/.test(status), `${label}: a failed snapshot is reported ("${status.trim()}")`);
  check(kept.src === picture.src && kept.complete && kept.width === 160, `${label}: the last picture stays`);

  // And recovers once the camera answers again.
  await context.clearCookies();
  await page.click("#now");
  await waitForPicture(page, 160, kept.src);
  const recovered = await page.evaluate(() => document.getElementById("status").classList.contains("failed"));
  check(!recovered, `${label}: the message goes once a picture arrives again`);

  const layout = await page.evaluate(() => ({
    scrollWidth: document.documentElement.scrollWidth,
    incompleteFrames: window.incompleteFrames,
  }));
  check(layout.scrollWidth <= viewport.width, `${label}: nothing wider than the screen`);
  check(layout.incompleteFrames === 0, `${label}: only complete pictures were on screen`);

  const busters = snapshotUrls.map((url) => url.search.match(/&?t=(\d+)$/));
  check(busters.every(Boolean), `${label}: every snapshot URL ends in a numeric t= parameter`);
  check(new Set(snapshotUrls.map(String)).size === snapshotUrls.length, `${label}: no snapshot URL repeats`);

  // The choices outlive a reload: small, bold, refresh off.
  await page.reload();
  await waitForPicture(page, 160);
  const reloaded = await shown(page);
  const interval = await page.inputValue("#interval");
  check(/[?]boldtimestamp&t=\d+$/.test(reloaded.src) && interval === "0", `${label}: a reload keeps the choices`);
  await page.close();
}

main().then(
  () => {
    console.log(failures === 0 ? "page checks passed" : failures + " page checks failed");
    process.exit(failures === 0 ? 0 : 1);
  },
  (error) => {
    console.error(error);
    process.exit(1);
  });
