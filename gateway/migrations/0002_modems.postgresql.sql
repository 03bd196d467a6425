-- Which daemon holds which modem, for the API of every daemon.
CREATE TABLE modems(
  name TEXT PRIMARY KEY,
  daemon TEXT NOT NULL,
  held_at BIGINT NOT NULL);
