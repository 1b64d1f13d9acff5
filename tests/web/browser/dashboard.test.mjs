// The dashboard in a real browser: Debian's chromium, headless, driven by
// puppeteer-core. Makes a history with evenor-cli (the sample image taken by
// "watch", its PDF beside its report), a user, starts "evenor-cli web" on a
// free loopback port, then logs in, opens the overview, sorts it, opens a
// detector and a record, downloads the PDF, and takes screenshots at
// 1280 x 800 and at a phone's size.
//
//   node dashboard.test.mjs CLI SAMPLE.dcm OUTDIR
// Exit status 0: passed; 1: failed; 77: chromium cannot start (skipped).
import { spawn, spawnSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import os from "node:os";
import puppeteer from "puppeteer-core";

const [cli, sample, outDir] = process.argv.slice(2);
if (!cli || !sample || !outDir) {
  console.error("usage: node dashboard.test.mjs CLI SAMPLE.dcm OUTDIR");
  process.exit(2);
}
const chromium = process.env.CHROMIUM || "/usr/bin/chromium";
fs.mkdirSync(outDir, { recursive: true });
const work = fs.mkdtempSync(path.join(os.tmpdir(), "evenor-web-browser-"));
let server;
let failures = 0;

function check(condition, what) {
  console.log(`${condition ? "ok  " : "FAIL"} ${what}`);
  if (!condition) failures++;
}

function run(args, input) {
  const result = spawnSync(cli, args, { input, encoding: "utf8" });
  if (result.status !== 0) throw new Error(`evenor-cli ${args.join(" ")}: ${result.stderr}`);
  return result;
}

async function startServer() {
  server = spawn(cli, ["web", "--db", path.join(work, "history.sqlite"), "--listen", "127.0.0.1:0",
                       "--users", path.join(work, "users"), "--out-dir", path.join(work, "out")],
                 { stdio: ["ignore", "ignore", "pipe"] });
  let text = "";
  return await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`the server did not start: ${text}`)), 15000);
    server.stderr.on("data", (chunk) => {
      text += chunk;
      const match = /Dashboard at (http:\/\/127\.0\.0\.1:\d+)\//.exec(text);
      if (match) {
        clearTimeout(timer);
        resolve(match[1]);
      }
    });
    server.on("exit", (code) => reject(new Error(`the server ended (${code}): ${text}`)));
  });
}

async function main() {
  // A history: the sample taken by the intake, a PDF beside its report.
  fs.mkdirSync(path.join(work, "in"));
  fs.copyFileSync(sample, path.join(work, "in", "flatfield.dcm"));
  fs.writeFileSync(path.join(work, "rules.json"), '{"rules":[{"name":"all","settings":{"record":true}}]}');
  run(["watch", path.join(work, "in"), "--rules", path.join(work, "rules.json"), "--db",
       path.join(work, "history.sqlite"), "--out-dir", path.join(work, "out"), "--once", "--settle", "0"]);
  const report = fs.readdirSync(path.join(work, "out")).find((name) => name.endsWith(".txt"));
  const stem = report.slice(0, -4);
  run(["analyse", path.join(work, "in", "flatfield.dcm"), "-o", path.join(work, "report.txt"), "-q", "--pdf",
       path.join(work, "out", stem + ".pdf")]);
  run(["web", "user", "add", "physicist", "--users", path.join(work, "users")], "browser test password\n");
  const base = await startServer();

  let browser;
  try {
    browser = await puppeteer.launch({
      executablePath: chromium,
      headless: true,
      args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"],
    });
  } catch (error) {
    console.error(`SKIP: chromium cannot start (${chromium}): ${error.message}`);
    return 77;
  }
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1280, height: 800 });
    await page.goto(base + "/");
    check(page.url() === base + "/login", "an unknown visitor is sent to the login page");
    await page.type("input[name=user]", "physicist");
    await page.type("input[name=password]", "wrong password");
    await Promise.all([page.waitForNavigation(), page.click("button[type=submit]")]);
    check((await page.content()).includes("Wrong user name or password."), "a wrong password is refused");
    await new Promise((resolve) => setTimeout(resolve, 1200));  // the wait after a failed login
    await page.type("input[name=user]", "physicist");
    await page.type("input[name=password]", "browser test password");
    await Promise.all([page.waitForNavigation(), page.click("button[type=submit]")]);
    check(page.url() === base + "/", "the login leads to the overview");
    check((await page.$$("table.overview tbody tr")).length === 1, "the overview lists the detector");
    await page.screenshot({ path: path.join(outDir, "overview-1280x800.png") });

    await Promise.all([page.waitForNavigation(), page.click("a[href='/?sort=station']")]);
    check(page.url().endsWith("/?sort=station"), "the overview sorts by station");

    await Promise.all([page.waitForNavigation(), page.click("table.overview a[href^='/detector?key=']")]);
    check((await page.$$("table.records tbody tr")).length === 1, "the detector page lists its record");
    check((await page.$$("svg.trend")).length === 7, "the detector page draws the trend of every check");
    const detectorUrl = page.url();
    await page.screenshot({ path: path.join(outDir, "detector-1280x800.png"), fullPage: true });

    await Promise.all([page.waitForNavigation(), page.click("table.records a[href^='/record?']")]);
    check((await page.content()).includes("Downloads"), "the record page offers downloads");
    await page.screenshot({ path: path.join(outDir, "record-1280x800.png"), fullPage: true });

    // The PDF, downloaded as a person would: a click on its link.
    const downloads = path.join(work, "downloads");
    fs.mkdirSync(downloads);
    const session = await page.createCDPSession();
    await session.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads });
    await page.click("a[href$='.pdf']");
    let pdf = "";
    for (let i = 0; i < 100 && !pdf; i++) {
      await new Promise((resolve) => setTimeout(resolve, 100));
      pdf = fs.readdirSync(downloads).find((name) => name.endsWith(".pdf")) || "";
    }
    check(pdf !== "" && fs.readFileSync(path.join(downloads, pdf)).subarray(0, 5).toString() === "%PDF-",
          "the PDF is downloaded whole");

    // A phone: the pages fit its width (tables scroll inside their box).
    await page.setViewport({ width: 390, height: 844, isMobile: true, hasTouch: true, deviceScaleFactor: 2 });
    for (const [name, url] of [["overview", base + "/"], ["detector", detectorUrl], ["record", page.url()]]) {
      await page.goto(url);
      const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
      check(overflow <= 0, `the ${name} page fits a phone's width (overflow ${overflow} px)`);
      await page.screenshot({ path: path.join(outDir, `${name}-phone.png`), fullPage: true });
    }

    // Logout ends the session.
    await Promise.all([page.waitForNavigation(), page.click(".logout button")]);
    await page.goto(base + "/");
    check(page.url() === base + "/login", "after the logout the overview needs a login again");
  } finally {
    await browser.close();
  }
  return failures ? 1 : 0;
}

let status = 1;
try {
  status = await main();
} catch (error) {
  console.error(`FAIL ${error.stack || error}`);
  status = 1;
} finally {
  if (server) server.kill("SIGTERM");
  fs.rmSync(work, { recursive: true, force: true });
}
console.log(status === 0 ? `passed; screenshots in ${outDir}` : status === 77 ? "skipped" : "failed");
process.exit(status);
