// Waiting in the browser tests: a pause, and polling until a check holds.
export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Polls check every 200 ms until it gives a truthy value, which it returns;
// throws naming what it waited for once timeoutMs have passed.
export async function waitFor(what, check, timeoutMs = 20000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(200);
  }
}
