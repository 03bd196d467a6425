// The daemon's API as the console uses it: the key is kept for this tab only and goes in the
// Authorization header, never in an address.

const keyName = "tarvikd.key";

export function storedKey() {
  return sessionStorage.getItem(keyName) || "";
}

export function keepKey(key) {
  sessionStorage.setItem(keyName, key);
}

export function forgetKey() {
  sessionStorage.removeItem(keyName);
}

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

// The reply's JSON; an ApiError with the daemon's reason when it refused.
export async function call(method, path, body, key = storedKey()) {
  const headers = { Authorization: "Bearer " + key };
  if (body !== undefined) {
    headers["Content-Type"] = "application/json";
  }
  let reply;
  try {
    reply = await fetch(path, {
      method,
      headers,
      body: body === undefined ? undefined : JSON.stringify(body),
      cache: "no-store",
      credentials: "omit",
      referrerPolicy: "no-referrer",
    });
  } catch (error) {
    throw new ApiError(0, String(error));
  }
  let json = null;
  try {
    json = await reply.json();
  } catch {
    json = null;
  }
  if (!reply.ok) {
    throw new ApiError(reply.status, (json && json.error) || reply.statusText);
  }
  return json;
}
