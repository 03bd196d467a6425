-- The outbox of events for the broker.
CREATE TABLE events(
  id INTEGER PRIMARY KEY,
  daemon TEXT NOT NULL,
  modem TEXT NOT NULL,
  direction TEXT NOT NULL,
  payload TEXT NOT NULL,
  created_at INTEGER NOT NULL);
CREATE INDEX events_daemon ON events(daemon, id);
