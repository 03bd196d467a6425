-- What the shared store has: claims under a daemon's name with a lease, for outgoing
-- messages, webhooks and events, and which daemon holds which modem.
ALTER TABLE messages ADD COLUMN daemon TEXT NOT NULL DEFAULT '';
ALTER TABLE messages ADD COLUMN lease_until INTEGER NOT NULL DEFAULT 0;
ALTER TABLE messages ADD COLUMN webhook_daemon TEXT NOT NULL DEFAULT '';
ALTER TABLE messages ADD COLUMN webhook_lease_until INTEGER NOT NULL DEFAULT 0;
ALTER TABLE events ADD COLUMN claimed_by TEXT NOT NULL DEFAULT '';
ALTER TABLE events ADD COLUMN lease_until INTEGER NOT NULL DEFAULT 0;
-- Each daemon reads and renews the events it has to publish.
CREATE INDEX events_claimed ON events(claimed_by, id);
UPDATE events SET claimed_by = daemon;
CREATE TABLE modems(
  name TEXT PRIMARY KEY,
  daemon TEXT NOT NULL,
  held_at INTEGER NOT NULL);
PRAGMA user_version = 3;
