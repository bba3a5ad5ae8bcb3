-- The dispatch database's tables as far as the service uses them, for SQL Server
-- (a replacement database for testing). The real dispatch database owns its
-- schema; the service itself creates no table.

CREATE TABLE BEDRIJVEN (
  bdr_id int IDENTITY(1,1) PRIMARY KEY,
  bdr_naam varchar(50)
);
GO

CREATE TABLE wagens (
  wag_id int IDENTITY(1,1) PRIMARY KEY,
  wag_bdr_id int,
  wag_taxis int,
  wag_type varchar(1),
  wag_imei varchar(20),
  wag_kmstand int
);
GO

CREATE TABLE planning (
  pla_id int IDENTITY(1,1) PRIMARY KEY,
  pla_bdr_id int,
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
  pla_tekst nvarchar(max),
  pla_naam_reiziger varchar(50),
  pla_telefoon varchar(40),
  pla_bellen int,
  pla_reiziger int,
  pla_pasnummer varchar(40),
  pla_rolstoel int,
  pla_rollers int,
  pla_lopers int,
  pla_begeleiding int,
  pla_voorin int,
  pla_combineren int,
  pla_wagen int,
  pla_chauffeur int,
  pla_lsn int,
  pla_route int,
  pla_status varchar(1),
  pla_com_status int DEFAULT 0,
  pla_soortvervoer varchar(1),
  pla_soortwagen varchar(1),
  pla_soortrit varchar(1),
  pla_filter varchar(1),
  pla_rc int,
  pla_tarief_bedrijf int,
  pla_bedrag decimal(18,2),
  pla_bedrag_1 decimal(18,2),
  pla_km_map decimal(18,2),
  pla_odo_start decimal(18,2),
  pla_odo_stop decimal(18,2),
  pla_wachtseconden int,
  pla_redenloosmelden varchar(50),
  pla_eigenaar varchar(3),
  pla_retour_rbs int,
  pla_cloud int,
  pla_tx_payment_type int,
  pla_tx_stop_type int,
  pla_tx_max_speed int,
  pla_tx_beladen int,
  pla_tx_arrival_stop int,
  pla_tx_paid_amount decimal(18,2),
  pla_tx_paid_extra decimal(18,2),
  pla_auto_wagen int DEFAULT 0,
  pla_planning int,
  pla_planning_taxis int,
  pla_spoed int DEFAULT 0
);
GO

CREATE TABLE ritstaten (
  lsn_id int IDENTITY(1,1) PRIMARY KEY,
  lsn_bdr_id int,
  lsn_wag_id int,
  lsn_chf_id int,
  lsn_status int DEFAULT 0,
  lsn_actie varchar(1),
  lsn_rit int DEFAULT 0,
  lsn_route int DEFAULT 0,
  lsn_aanvang datetime,
  lsn_einde datetime,
  lsn_aanvang_bct datetime,
  lsn_einde_bct datetime,
  lsn_kilometerstand_aanvang decimal(18,2),
  lsn_kilometerstand_einde decimal(18,2),
  lsn_omschrijving varchar(20)
);
GO

CREATE TABLE chauffeurs (
  chf_id int IDENTITY(1,1) PRIMARY KEY,
  chf_naam varchar(40),
  chf_pasnummer varchar(40),
  chf_bdr_id int
);
GO

CREATE TABLE constanten (
  con_id int IDENTITY(1,1) PRIMARY KEY,
  con_bdr_id int,
  con_contant int,
  con_tarief int,
  con_land varchar(3),
  con_standaard_uren int
);
GO

CREATE TABLE gps (
  GPS_id int IDENTITY(1,1) PRIMARY KEY,
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
  GOS_bdr_id int,
  GPS_LONG decimal(18,6),
  GPS_LAT decimal(18,6)
);
GO

CREATE TABLE berichtenbox (
  bbo_id int IDENTITY(1,1) PRIMARY KEY,
  bbo_soort int,
  bbo_bdr_id int,
  bbo_wag_id int,
  bbo_code varchar(20),
  bbo_datum datetime DEFAULT GETDATE(),
  bbo_verwerkt int DEFAULT 0,
  bbo_verwerking datetime,
  bbo_pakket nvarchar(max),
  bbo_pla_id int,
  bbo_actie int
);
GO

CREATE TABLE sectoren (
  sec_id int IDENTITY(1,1) PRIMARY KEY,
  sec_bdr_id int,
  sec_wag_id int,
  sec_datum datetime,
  sec_sector int
);
GO

CREATE TABLE brandstof (
  bra_id int IDENTITY(1,1) PRIMARY KEY,
  bra_datum datetime,
  bra_wag_id int,
  bra_chf_id int,
  bra_bdr_id int,
  bra_liters decimal(18,2),
  bra_odometer_huidig decimal(18,2),
  bra_odometer_vorig decimal(18,2),
  bra_odometer_verschil decimal(18,2),
  bra_verbruik decimal(18,2),
  bra_bedrag decimal(18,2)
);
GO

CREATE TABLE skype (
  ID int IDENTITY(1,1) PRIMARY KEY,
  SkypeDate datetime,
  SkypeNumber varchar(50),
  SkypeStatus int DEFAULT 0,
  SkypeRitnummer int,
  SkypeResult varchar(50),
  SkypeResultByte int,
  SkypeAction int
);
GO

CREATE TABLE zolinstellingen (
  zol_id int IDENTITY(1,1) PRIMARY KEY,
  zol_bdr_id int,
  zol_vor_id varchar(10),
  zol_rc int,
  zol_taximeter varchar(2),
  zol_ontvangstbewijs varchar(2),
  zol_reserved1 varchar(2),
  zol_reserved2 varchar(2),
  zol_betaalinfo varchar(2),
  zol_printinfo varchar(2),
  zol_autoprint varchar(2)
);
GO

CREATE TABLE StatusMeldingen (
  mel_id varchar(38) NOT NULL PRIMARY KEY
    DEFAULT ('{' + CONVERT(varchar(36), NEWID()) + '}'),
  mel_datum datetime DEFAULT GETDATE(),
  mel_type int,
  mel_status int,
  mel_ritnummer int,
  mel_wagen int,
  mel_chauffeur int,
  mel_actief int,
  mel_opmerking varchar(100)
);
GO

-- Re-checks a vehicle's route status in the real dispatch database; here it does
-- nothing. NOCOUNT keeps row counts out of the caller's statement.
CREATE PROCEDURE PROC_ROUTESTATUS_CONTROLE @wag_id int AS
SET NOCOUNT ON;
GO
