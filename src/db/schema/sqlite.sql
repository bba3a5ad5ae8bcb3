-- The dispatch database's tables as far as the service uses them, for SQLite
-- (tests, demonstrations). The service itself creates no table.
-- Declared types are chosen for the SOCI SQLite backend: "integer" reads as an
-- integer, "decimal(18,2)" as a decimal, "datetime" as a date-time, "varchar(n)"
-- and "text" as text. Date-times are stored as text "YYYY-MM-DD HH:MM:SS", local time.

CREATE TABLE BEDRIJVEN (
  bdr_id integer PRIMARY KEY AUTOINCREMENT,
  bdr_naam varchar(50)
);

CREATE TABLE wagens (
  wag_id integer PRIMARY KEY AUTOINCREMENT,
  wag_bdr_id integer,
  wag_taxis integer,
  wag_type varchar(1),
  wag_imei varchar(20),
  wag_kmstand integer
);

CREATE TABLE planning (
  pla_id integer PRIMARY KEY AUTOINCREMENT,
  pla_bdr_id integer,
  pla_datum datetime,
  pla_tijdstip datetime,
  pla_tijdstip_locatie datetime,
  pla_tijdstip_toewijzen datetime,
  pla_tijdstip_bestemmen datetime,
  pla_tijdstip_vrijmelden datetime,
  pla_ophstraat varchar(50),
  pla_ophnummer varchar(10),
  pla_ophnummertoe varchar(6),
  pla_ophpostcode varchar(10),
  pla_ophstad varchar(50),
  pla_oph_land varchar(2),
  pla_besstraat varchar(50),
  pla_bestnummer varchar(10),
  pla_bestnummertoe varchar(6),
  pla_bestpostcode varchar(10),
  pla_beststad varchar(50),
  pla_start_straat varchar(40),
  pla_start_stad varchar(40),
  pla_eind_straat varchar(40),
  pla_eind_stad varchar(40),
  pla_opmerking varchar(50),
  pla_tekst text,
  pla_naam_reiziger varchar(50),
  pla_telefoon varchar(40),
  pla_bellen integer,
  pla_reiziger integer,
  pla_pasnummer varchar(40),
  pla_rolstoel integer,
  pla_rollers integer,
  pla_lopers integer,
  pla_begeleiding integer,
  pla_voorin integer,
  pla_combineren integer,
  pla_wagen integer,
  pla_chauffeur integer,
  pla_lsn integer,
  pla_route integer,
  pla_status varchar(1),
  pla_com_status integer DEFAULT 0,
  pla_soortvervoer varchar(1),
  pla_soortwagen varchar(1),
  pla_soortrit varchar(1),
  pla_filter varchar(1),
  pla_rc integer,
  pla_tarief_bedrijf integer,
  pla_bedrag decimal(18,2),
  pla_bedrag_1 decimal(18,2),
  pla_km_map decimal(18,2),
  pla_odo_start decimal(18,2),
  pla_odo_stop decimal(18,2),
  pla_wachtseconden integer,
  pla_redenloosmelden varchar(50),
  pla_eigenaar varchar(3),
  pla_retour_rbs integer,
  pla_cloud integer,
  pla_tx_payment_type integer,
  pla_tx_stop_type integer,
  pla_tx_max_speed integer,
  pla_tx_beladen integer,
  pla_tx_arrival_stop integer,
  pla_tx_paid_amount decimal(18,2),
  pla_tx_paid_extra decimal(18,2),
  pla_auto_wagen integer DEFAULT 0,
  pla_planning integer,
  pla_planning_taxis integer,
  pla_spoed integer DEFAULT 0
);

CREATE TABLE ritstaten (
  lsn_id integer PRIMARY KEY AUTOINCREMENT,
  lsn_bdr_id integer,
  lsn_wag_id integer,
  lsn_chf_id integer,
  lsn_status integer DEFAULT 0,
  lsn_actie varchar(1),
  lsn_rit integer DEFAULT 0,
  lsn_route integer DEFAULT 0,
  lsn_aanvang datetime,
  lsn_einde datetime,
  lsn_aanvang_bct datetime,
  lsn_einde_bct datetime,
  lsn_kilometerstand_aanvang decimal(18,2),
  lsn_kilometerstand_einde decimal(18,2),
  lsn_omschrijving varchar(20)
);

CREATE TABLE chauffeurs (
  chf_id integer PRIMARY KEY AUTOINCREMENT,
  chf_naam varchar(40),
  chf_pasnummer varchar(40),
  chf_bdr_id integer
);

CREATE TABLE constanten (
  con_id integer PRIMARY KEY AUTOINCREMENT,
  con_bdr_id integer,
  con_contant integer,
  con_tarief integer,
  con_land varchar(3),
  con_standaard_uren integer
);

CREATE TABLE gps (
  GPS_id integer PRIMARY KEY AUTOINCREMENT,
  GPS_IP varchar(20),
  GPS_IDCode varchar(20),
  GPS_Versie varchar(20),
  GPS_Datum datetime,
  GPS_Datum_UTC datetime,
  GPS_Imei varchar(20),
  GPS_Statuscode varchar(20),
  GPS_AVStatus varchar(20),
  GPS_Latitude decimal(18,4),
  GPS_NS varchar(1),
  GPS_Longitude decimal(18,4),
  GPS_EW varchar(1),
  GPS_Snelheid varchar(20),
  GPS_Koers varchar(20),
  GPS_HDOP varchar(20),
  GPS_Toestelversie varchar(20),
  GPS_Voeding varchar(20),
  GPS_StatusADC varchar(20),
  GPS_ADCVolt varchar(20),
  GPS_IButton varchar(20),
  GPS_IO1 varchar(20),
  GPS_IO2 varchar(20),
  GPS_Locatie1 varchar(50),
  GPS_Locatie2 varchar(50),
  GPS_Locatie3 varchar(50),
  GPS_GLOCATIE varchar(50),
  GOS_bdr_id integer,
  GPS_LONG decimal(18,6),
  GPS_LAT decimal(18,6)
);

CREATE TABLE berichtenbox (
  bbo_id integer PRIMARY KEY AUTOINCREMENT,
  bbo_soort integer,
  bbo_bdr_id integer,
  bbo_wag_id integer,
  bbo_code varchar(20),
  bbo_datum datetime DEFAULT (datetime('now', 'localtime')),
  bbo_verwerkt integer DEFAULT 0,
  bbo_verwerking datetime,
  bbo_pakket text,
  bbo_pla_id integer,
  bbo_actie integer
);

CREATE TABLE sectoren (
  sec_id integer PRIMARY KEY AUTOINCREMENT,
  sec_bdr_id integer,
  sec_wag_id integer,
  sec_datum datetime,
  sec_sector integer
);

CREATE TABLE brandstof (
  bra_id integer PRIMARY KEY AUTOINCREMENT,
  bra_datum datetime,
  bra_wag_id integer,
  bra_chf_id integer,
  bra_bdr_id integer,
  bra_liters decimal(18,2),
  bra_odometer_huidig decimal(18,2),
  bra_odometer_vorig decimal(18,2),
  bra_odometer_verschil decimal(18,2),
  bra_verbruik decimal(18,2),
  bra_bedrag decimal(18,2)
);

CREATE TABLE skype (
  ID integer PRIMARY KEY AUTOINCREMENT,
  SkypeDate datetime,
  SkypeNumber varchar(50),
  SkypeStatus integer DEFAULT 0,
  SkypeRitnummer integer,
  SkypeResult varchar(50),
  SkypeResultByte integer,
  SkypeAction integer
);

CREATE TABLE zolinstellingen (
  zol_id integer PRIMARY KEY AUTOINCREMENT,
  zol_bdr_id integer,
  zol_vor_id varchar(10),
  zol_rc integer,
  zol_taximeter varchar(2),
  zol_ontvangstbewijs varchar(2),
  zol_reserved1 varchar(2),
  zol_reserved2 varchar(2),
  zol_betaalinfo varchar(2),
  zol_printinfo varchar(2),
  zol_autoprint varchar(2)
);

-- mel_id: a GUID of 38 characters with braces, as SQL Server writes NEWID().
CREATE TABLE StatusMeldingen (
  mel_id varchar(38) PRIMARY KEY DEFAULT ('{' || upper(hex(randomblob(4))) || '-' ||
    upper(hex(randomblob(2))) || '-' || upper(hex(randomblob(2))) || '-' ||
    upper(hex(randomblob(2))) || '-' || upper(hex(randomblob(6))) || '}'),
  mel_datum datetime DEFAULT (datetime('now', 'localtime')),
  mel_type integer,
  mel_status integer,
  mel_ritnummer integer,
  mel_wagen integer,
  mel_chauffeur integer,
  mel_actief integer,
  mel_opmerking varchar(100)
);

-- SQLite has no stored procedures: every call of PROC_ROUTESTATUS_CONTROLE is
-- recorded as a row instead, so tests can see that it was made.
CREATE TABLE PROC_ROUTESTATUS_CONTROLE (
  id integer PRIMARY KEY AUTOINCREMENT,
  wag_id integer,
  called_at datetime DEFAULT (datetime('now', 'localtime'))
);
