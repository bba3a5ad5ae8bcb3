-- A small dispatch database for tests and the demo: one company, three vehicles, one
-- driver, open trip sheets and a few rides. Load it after sqlite.sql or postgresql.sql.

INSERT INTO BEDRIJVEN (bdr_id, bdr_naam) VALUES (1, 'Taxibedrijf Dorvek');

INSERT INTO wagens (wag_id, wag_bdr_id, wag_taxis, wag_type, wag_imei, wag_kmstand) VALUES
  (1, 1, 17, 'T', 'mux4711', 120000),
  (2, 1, 23, 'T', 'mux4712', 98000),
  (3, 1, 31, 'B', 'mux4713', 5000);

INSERT INTO chauffeurs (chf_id, chf_naam, chf_pasnummer, chf_bdr_id) VALUES
  (1, 'Hénri de Vries', '1234', 1);

-- Vehicle 17 carries ride 101 on its open trip sheet; vehicle 23 carries route 17
-- (rides 102 and 103); vehicle 31 has no open trip sheet.
INSERT INTO planning (pla_id, pla_bdr_id, pla_datum, pla_ophstraat, pla_ophstad, pla_besstraat,
                      pla_beststad, pla_wagen, pla_lsn, pla_route, pla_status, pla_com_status,
                      pla_soortvervoer, pla_rc) VALUES
  (101, 1, '2026-12-08 09:00:00', 'Stationsplein', 'Eindhoven', 'Markt', 'Geldrop', 1, 1, 0, 'P', 0, 'A', 0),
  (102, 1, '2026-12-08 09:30:00', 'Kerkstraat', 'Veldhoven', 'Catharinaplein', 'Eindhoven', 2, 2, 17, 'P', 0, 'A', 0),
  (103, 1, '2026-12-08 09:45:00', 'Dorpsstraat', 'Best', 'Catharinaplein', 'Eindhoven', 2, 2, 17, 'P', 0, 'A', 0),
  (104, 1, '2026-12-08 10:00:00', 'Hoogstraat', 'Eindhoven', 'Vestdijk', 'Eindhoven', 0, 0, 0, 'P', 0, 'A', 0);

INSERT INTO ritstaten (lsn_id, lsn_bdr_id, lsn_wag_id, lsn_chf_id, lsn_status, lsn_actie, lsn_rit, lsn_route,
                       lsn_aanvang) VALUES
  (1, 1, 1, 1, 0, 'K', 101, 0, '2026-12-08 07:00:00'),
  (2, 1, 2, 1, 0, 'K', 0, 17, '2026-12-08 07:15:00');
