-- The cash register's database on MariaDB (InnoDB, utf8mb4).
--
-- Every statement ends with ";" at the end of a line; lines starting with "--" are comments. The script only creates
-- what is missing, so it may run again on a database that already holds data. Table names are case-sensitive on a
-- Linux server: the program writes them in capitals.
--
-- Text columns used for ordering or searching are NOT NULL with default '' and numbers default 0, so ordering never
-- meets NULL. The collation utf8mb4_unicode_ci compares without regard to case and sorts umlauts with their base letter.

-- Receipts.
CREATE TABLE IF NOT EXISTS BONS (
    BONID INT NOT NULL AUTO_INCREMENT,
    KASSA VARCHAR(10) NOT NULL DEFAULT '',
    DATUM DATE NOT NULL,
    ZEIT VARCHAR(8) NOT NULL DEFAULT '',
    BONNR INT NOT NULL DEFAULT 0,
    TYP VARCHAR(5) NOT NULL DEFAULT '',
    KNDID INT NULL DEFAULT 0,
    RKSV_TYP VARCHAR(10) NOT NULL DEFAULT '',
    RKSV_JWS VARCHAR(2000) NOT NULL DEFAULT '',
    RKSV_NORMAL DECIMAL(15,2) NOT NULL DEFAULT 0,
    RKSV_ERM1 DECIMAL(15,2) NOT NULL DEFAULT 0,
    RKSV_ERM2 DECIMAL(15,2) NOT NULL DEFAULT 0,
    RKSV_SONDER DECIMAL(15,2) NOT NULL DEFAULT 0,
    RKSV_NULL DECIMAL(15,2) NOT NULL DEFAULT 0,
    RKSV_SALDO DECIMAL(15,2) NOT NULL DEFAULT 0,
    RKSV_CRDID INT NOT NULL DEFAULT 0,
    -- customer on the receipt as PLUMOXA keeps it
    NAME VARCHAR(100) NOT NULL DEFAULT '',
    STRASSE VARCHAR(100) NOT NULL DEFAULT '',
    PLZ VARCHAR(10) NOT NULL DEFAULT '',
    ORT VARCHAR(60) NOT NULL DEFAULT '',
    -- customer on the receipt as DRAVELIN keeps it
    PK_NR VARCHAR(20) NOT NULL DEFAULT '',
    PK_NAM VARCHAR(60) NOT NULL DEFAULT '',
    PK_VOR VARCHAR(60) NOT NULL DEFAULT '',
    PK_STR VARCHAR(100) NOT NULL DEFAULT '',
    PK_PLZ VARCHAR(10) NOT NULL DEFAULT '',
    PK_ORT VARCHAR(60) NOT NULL DEFAULT '',
    PRIMARY KEY (BONID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;
-- receipts of one till in number order
CREATE INDEX IF NOT EXISTS IX_BONS_KASSA_BONNR ON BONS (KASSA, BONNR);
-- receipts of a day in time order, and soft seeks on the date
CREATE INDEX IF NOT EXISTS IX_BONS_DATUM_ZEIT ON BONS (DATUM, ZEIT, BONID);
CREATE INDEX IF NOT EXISTS IX_BONS_KASSA_DATUM_ZEIT ON BONS (KASSA, DATUM, ZEIT);
-- receipts of a day in number order (the receipt picker)
CREATE INDEX IF NOT EXISTS IX_BONS_DATUM_BONNR ON BONS (DATUM, BONNR, BONID);
-- a till's receipts in signing order: the numbers start again at 1 every year, so the date comes first
CREATE INDEX IF NOT EXISTS IX_BONS_KASSA_DATUM_BONNR ON BONS (KASSA, DATUM, BONNR);

CREATE TABLE IF NOT EXISTS KUNDEN (
    KNDID INT NOT NULL,
    ZUNAME VARCHAR(60) NOT NULL DEFAULT '',
    VORNAME VARCHAR(60) NOT NULL DEFAULT '',
    STRASSE VARCHAR(100) NOT NULL DEFAULT '',
    PLZ VARCHAR(10) NOT NULL DEFAULT '',
    ORT VARCHAR(60) NOT NULL DEFAULT '',
    PRIMARY KEY (KNDID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- Payments of a receipt, numbered from 1 within it.
CREATE TABLE IF NOT EXISTS ZAHLUNGEN (
    ZHLID INT NOT NULL,
    BONID INT NOT NULL,
    BETRAG DECIMAL(15,2) NOT NULL DEFAULT 0,
    PRIMARY KEY (ZHLID, BONID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;
CREATE INDEX IF NOT EXISTS IX_ZAHLUNGEN_BONID ON ZAHLUNGEN (BONID);

-- The last receipt number issued, per receipt type and till.
CREATE TABLE IF NOT EXISTS NUMMERNKREISE (
    TYP VARCHAR(5) NOT NULL DEFAULT '',
    KASSA VARCHAR(10) NOT NULL DEFAULT '',
    JAHR INT NOT NULL DEFAULT 0,
    BONNR INT NOT NULL DEFAULT 0,
    TSTAMP VARCHAR(20) NOT NULL DEFAULT '',
    PRIMARY KEY (TYP, KASSA)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- Signature cards: certificate serial as hex text, certificate and chain as Base64.
CREATE TABLE IF NOT EXISTS CARDS (
    CRDID INT NOT NULL AUTO_INCREMENT,
    KASSA VARCHAR(10) NOT NULL DEFAULT '',
    SERNR VARCHAR(64) NOT NULL DEFAULT '',
    BASE64 MEDIUMTEXT NOT NULL DEFAULT '',
    CHAIN MEDIUMTEXT NOT NULL DEFAULT '',
    PRIMARY KEY (CRDID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;
CREATE INDEX IF NOT EXISTS IX_CARDS_KASSA ON CARDS (KASSA);
