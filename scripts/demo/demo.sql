-- The demo database: a small diskinfo with duplicated barcodes, Chinese ones among them,
-- and an empty BD_Material for the material import.
create table diskinfo (
  DiskID  integer primary key,
  DiskNum integer,
  Bar     varchar(64)
);
create index diskinfo_bar on diskinfo (Bar);

insert into diskinfo (DiskID, DiskNum, Bar) values
  (1, 3, '6901234567892'),
  (2, 7, '6901234567892'),
  (3, 1, '6920000000011'),
  (4, 5, '6930000000028'),
  (5, 9, '6930000000028'),
  (6, 9, '6930000000028'),
  (7, 2, '条码-甲001'),
  (8, 4, '条码-甲001'),
  (9, 1, '仓库B-0042'),
  (10, 1, '仓库B-0042'),
  (11, null, '6940000000035'),
  (12, 0, '6940000000035'),
  (13, 8, '6950000000042'),
  (14, 6, 'TOVA-0001'),
  (15, 2, null),
  (16, 3, null),
  (17, 5, 'O''Neil-77'),
  (18, 6, 'O''Neil-77');

create table BD_Material (
  BD_MCode    varchar(20) primary key,
  BD_MNo      varchar(30),
  BD_MName    varchar(158),
  BD_MPRICE   varchar(50),
  Pur_SupName varchar(48),
  BD_MPUBDATE varchar(50)
);
