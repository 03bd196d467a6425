-- Webhooks and events claimed under a lease, as outgoing messages are. Events kept from
-- before stay their daemon's for a lease.
ALTER TABLE messages ADD COLUMN webhook_daemon TEXT NOT NULL DEFAULT '',
  ADD COLUMN webhook_lease_until BIGINT NOT NULL DEFAULT 0;
ALTER TABLE events ADD COLUMN claimed_by TEXT NOT NULL DEFAULT '',
  ADD COLUMN lease_until BIGINT NOT NULL DEFAULT 0;
-- Each daemon reads and renews the events it has to publish.
CREATE INDEX events_claimed ON events(claimed_by, id);
UPDATE events SET claimed_by = daemon,
  lease_until = (extract(epoch FROM now()) * 1000)::bigint + 30000;
