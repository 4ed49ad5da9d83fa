// Drives one headless Debian chromium for the Python tests: listens on a Unix socket given as
// the first argument and answers one JSON line per request line ({op, ...} -> {ok, value}
// or {ok: false, error}). The second argument is an empty folder for chromium's profile,
// removed on exit. Runs in whatever network namespace it is started in.

import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { createRequire } from "node:module";
import { chromium } from "playwright-core";

const require = createRequire(import.meta.url);
const AXE_SOURCE = fs.readFileSync(require.resolve("axe-core/axe.min.js"), "utf8");

const socketPath = process.argv[2];
const profile = process.argv[3] ?? fs.mkdtempSync(path.join(os.tmpdir(), "tolvane-chromium-"));
const context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    headless: true,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync"],
    viewport: { width: 1280, height: 900 },
});
context.setDefaultTimeout(5000);
const page = context.pages()[0] ?? await context.newPage();
const consoleErrors = [];
page.on("console", (m) => { if (m.type() === "error") consoleErrors.push(m.text()); });
page.on("pageerror", (e) => consoleErrors.push(String(e)));

async function quit() {
    await context.close().catch(() => {});
    fs.rmSync(profile, { recursive: true, force: true });
    process.exit(0);
}

const ops = {
    viewport: ({ width, height }) => page.setViewportSize({ width, height }),
    goto: ({ url }) => page.goto(url).then(() => null),
    reload: () => page.reload().then(() => null),
    click: ({ selector }) => page.locator(selector).click(),
    fill: ({ selector, value }) => page.locator(selector).fill(value),
    select: ({ selector, value }) => page.locator(selector).selectOption(String(value)).then(() => null),
    press: ({ key }) => page.keyboard.press(key),
    focus: ({ selector }) => page.locator(selector).focus(),
    text: ({ selector }) => page.locator(selector).innerText(),
    texts: ({ selector }) => page.locator(selector).allInnerTexts(),
    value: ({ selector }) => page.locator(selector).inputValue(),
    attr: ({ selector, name }) => page.locator(selector).getAttribute(name),
    disabled: ({ selector }) => page.locator(selector).isDisabled(),
    visible: ({ selector }) => page.locator(selector).isVisible(),
    focused: () => page.evaluate(() => document.activeElement?.id ?? ""),
    // Clicks what starts a download and saves the file there.
    download: async ({ selector, path: file }) => {
        const [download] = await Promise.all([page.waitForEvent("download"), page.locator(selector).click()]);
        await download.saveAs(file);
        return download.suggestedFilename();
    },
    screenshot: ({ path: file }) => page.screenshot({ path: file, fullPage: true }).then(() => null),
    console_errors: () => consoleErrors.splice(0),
    axe: async () => {
        await page.addScriptTag({ content: AXE_SOURCE });
        const result = await page.evaluate(() => window.axe.run(document));
        return result.violations.map((v) => ({ id: v.id, impact: v.impact, help: v.help,
            nodes: v.nodes.map((n) => n.target.join(" ")) }));
    },
    quit,
};

async function answer(line) {
    let request;
    try {
        request = JSON.parse(line);
        const op = ops[request.op];
        if (!op) throw new Error("unknown op " + request.op);
        const value = await op(request);
        return { ok: true, value: value ?? null };
    } catch (e) {
        return { ok: false, error: String(e && e.message ? e.message : e) };
    }
}

const server = net.createServer((conn) => {
    let buffer = "";
    let chain = Promise.resolve();
    conn.setEncoding("utf8");
    conn.on("data", (chunk) => {
        buffer += chunk;
        let nl;
        while ((nl = buffer.indexOf("\n")) >= 0) {
            const line = buffer.slice(0, nl);
            buffer = buffer.slice(nl + 1);
            chain = chain.then(async () => conn.write(JSON.stringify(await answer(line)) + "\n"));
        }
    });
    conn.on("close", quit);
});
server.listen(socketPath);
for (const signal of ["SIGTERM", "SIGINT"]) process.on(signal, quit);
