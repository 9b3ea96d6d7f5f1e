#!/usr/bin/python3
"""Writes the synthetic source data of the demo workspace.

usage: generate_source_data.py [OUT_DIR] [--seed N]

OUT_DIR defaults to the demo's external_data/ folder. One sub-folder per data-source key is
(re)written; the output depends only on the seed, so running the script again gives the same
bytes. Standard library only.

Every firm follows a hidden health path over the twelve months of 2024: most firms wander around
their own level, some deteriorate from a given month on, a few improve, and a few fall into
close monitoring ("YI", yakın izleme) without warning. All sources are noisy views of that path:

  kik_data_ham_csv     KIK monitoring lists: days past due, limit overrun, bounced cheques
  kredi_db             our bank's cash / non-cash risk per firm (thousand TL), 202406..202412
  yis_tahmin_data      YIS model probabilities (only for firms the EUS model flags)
  eus_tahmin_data      EUS early-warning probabilities, Turkish CSV (";" and decimal comma)
  eus_hedef_muta       MUTA numbers that entered YI, one file per month
  eus_sql_kapsam_muta  MUTA numbers inside the EUS scope
  statik_db            firm master data and the branch/region table (pipe-separated TXT)
  yis_train_data       labelled history of 2023 for the ML model
  rkd_donem_data       RKD risk criteria per month (JSON)
  memzuc_data_donem    sector-wide (Memzuç) risk per firm (thousand TL), 202407..202412
"""
import csv
import io
import json
import math
import random
import sys
from pathlib import Path

N_FIRMA = 5000
DONEMLER = [f"2024{m:02d}" for m in range(1, 13)]
KREDI_DONEMLER = DONEMLER[5:]        # 202406..202412: one month before the risk window
MEMZUC_DONEMLER = DONEMLER[6:]       # 202407..202412: the risk window
VARSAYILAN_TOHUM = 2024

BOLGELER = [
    ("B01", "İstanbul Avrupa", ["Beşiktaş", "Şişli", "Bakırköy", "Beylikdüzü", "Esenyurt", "Bağcılar", "Sarıyer", "Fatih"]),
    ("B02", "İstanbul Anadolu", ["Kadıköy", "Ümraniye", "Ataşehir", "Kartal", "Pendik", "Tuzla", "Üsküdar"]),
    ("B03", "Ankara", ["Çankaya", "Keçiören", "Yenimahalle", "Etimesgut", "Sincan", "Ostim"]),
    ("B04", "İzmir", ["Konak", "Bornova", "Karşıyaka", "Çiğli", "Torbalı", "Manisa"]),
    ("B05", "Marmara", ["Nilüfer", "Osmangazi", "İnegöl", "Gebze", "İzmit", "Sakarya", "Tekirdağ", "Çorlu"]),
    ("B06", "Akdeniz", ["Muratpaşa", "Alanya", "Manavgat", "Isparta", "Burdur"]),
    ("B07", "Çukurova", ["Seyhan", "Mersin", "Tarsus", "Hatay", "İskenderun", "Osmaniye"]),
    ("B08", "İç Anadolu", ["Selçuklu", "Karatay", "Aksaray", "Kayseri", "Nevşehir", "Niğde"]),
    ("B09", "Karadeniz", ["İlkadım", "Ordu", "Giresun", "Trabzon", "Rize", "Zonguldak"]),
    ("B10", "Güneydoğu Anadolu", ["Şahinbey", "Şehitkamil", "Şanlıurfa", "Diyarbakır", "Mardin", "Batman"]),
    ("B11", "Doğu Anadolu", ["Erzurum", "Malatya", "Elazığ", "Van", "Erzincan"]),
    ("B12", "Ege İç", ["Denizli", "Uşak", "Aydın", "Muğla", "Afyonkarahisar"]),
]

MARKALAR = ["Yıldız", "Öztürk", "Çelik", "Şahin", "Aydın", "Özdemir", "Arslan", "Doğan", "Kılıç", "Çetin",
            "Kara", "Koç", "Kurt", "Özkan", "Şimşek", "Polat", "Erdoğan", "Güneş", "Akın", "Bulut", "Ateş",
            "Tekin", "Karaca", "Altun", "Ergün", "Uysal", "Ünal", "Korkmaz", "Gök", "Başaran", "Demirci",
            "Ekinci", "Gümüş", "Çakır", "Işık", "Tuna", "Sarı", "Türkmen", "Anadolu", "Ege", "Marmara",
            "Karadeniz", "Toros", "Fırat", "Dicle", "Kapadokya", "Uludağ", "Erciyes", "Akdeniz", "Trakya"]
SEKTORLER = ["Gıda", "İnşaat", "Tekstil", "Lojistik", "Enerji", "Otomotiv", "Kimya", "Tarım", "Turizm",
             "Mobilya", "Plastik", "Metal", "Elektrik", "Madencilik", "Yazılım", "Ambalaj", "Medikal",
             "Hazır Giyim", "Mermer", "Seramik"]
ORTALAR = ["", "Sanayi ve Ticaret", "Ticaret", "Pazarlama", "Üretim", "Dış Ticaret", "Hizmetleri"]

# segment, share of firms, median risk in thousand TL
SEGMENTLER = [("KUR-TIC", 0.08, 60000.0), ("KOBI", 0.32, 6000.0), ("MIKRO", 0.44, 600.0),
              ("ESKK", 0.12, 250.0), ("TARIM", 0.03, 1500.0), ("DIGER", 0.01, 900.0)]

RKD_KRITERLER = {"K01": "Karşılıksız çek", "K02": "Vergi borcu", "K03": "SGK prim borcu",
                 "K04": "İcra takibi", "K05": "Protestolu senet"}


def sigmoid(x):
    return 1.0 / (1.0 + math.exp(-x))


def saglik_yolu(rnd, ay_sayisi):
    """Hidden health path z[0..ay_sayisi-1] (higher is worse) and the month of the YI entry or None."""
    h = rnd.gauss(0.0, 1.0)
    r = rnd.random()
    if r < 0.09:                       # deteriorates from month bas on
        hiz, bas = rnd.uniform(0.25, 0.6), rnd.randint(0, ay_sayisi - 2)
    elif r < 0.12:                     # improves
        hiz, bas = -rnd.uniform(0.1, 0.3), rnd.randint(0, ay_sayisi // 2)
    else:
        hiz, bas = 0.0, 0
    ani_ay = rnd.randrange(ay_sayisi) if rnd.random() < 0.008 else None   # default without warning
    e, z, yi = 0.0, [], None
    for t in range(ay_sayisi):
        e = 0.6 * e + rnd.gauss(0.0, 0.35)
        zt = 0.9 * h - 0.3 + hiz * max(0, t - bas) + e
        z.append(zt)
        if yi is None and (t == ani_ay or (zt > 2.4 and rnd.random() < 0.6) or zt > 3.2):
            yi = t
    return z, yi


def eus_olasilik(zt, rnd):
    return min(0.999, max(0.001, sigmoid(1.3 * zt - 1.6 + rnd.gauss(0.0, 0.5))))


def yis_olasilik(zt, rnd):
    return min(0.999, max(0.001, sigmoid(1.6 * zt - 2.4 + rnd.gauss(0.0, 0.3))))


def gecikme_gun(zt, rnd):
    if zt < 0.6 or rnd.random() > sigmoid(2.0 * zt - 2.5):
        return 0
    return max(1, min(360, int(rnd.gauss(28.0 * zt, 14.0))))


def firmalar_uret(rnd):
    mutalar = sorted(rnd.sample(range(1_000_000, 9_999_999), N_FIRMA))
    subeler = [(int(kod[1:]) * 100 + j + 1, ad, kod)
               for kod, _, ilceler in BOLGELER for j, ad in enumerate(ilceler)]
    firmalar = []
    for muta in mutalar:
        x, segment, medyan = rnd.random(), None, None
        for seg, pay, med in SEGMENTLER:
            if x < pay:
                segment, medyan = seg, med
                break
            x -= pay
        if segment is None:
            segment, medyan = SEGMENTLER[-1][0], SEGMENTLER[-1][2]
        sektor = rnd.choice(SEKTORLER)
        tur = "A.Ş." if segment == "KUR-TIC" or rnd.random() < 0.35 else "Ltd. Şti."
        unvan = " ".join(p for p in (rnd.choice(MARKALAR), sektor, rnd.choice(ORTALAR), tur) if p)
        sube = rnd.choice(subeler)
        z, yi = saglik_yolu(rnd, len(DONEMLER))
        firmalar.append({
            "muta": muta, "unvan": unvan, "segment": segment, "sektor": sektor, "sube": sube,
            "buyukluk": medyan * math.exp(rnd.gauss(0.0, 0.9)), "z": z, "yi": yi,
            "kapsam": rnd.random() < 0.96,
        })
    return firmalar, subeler


def csv_metni(satirlar, ayrac=","):
    buf = io.StringIO()
    w = csv.writer(buf, delimiter=ayrac, lineterminator="\n")
    w.writerows(satirlar)
    return buf.getvalue()


def yaz(path, metin):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(metin, encoding="utf-8", newline="")


def kaynaklari_yaz(out, firmalar, subeler, rnd):
    for anahtar in ("kik_data_ham_csv", "kredi_db", "yis_tahmin_data", "eus_tahmin_data", "eus_hedef_muta",
                    "eus_sql_kapsam_muta", "statik_db", "yis_train_data", "rkd_donem_data", "memzuc_data_donem"):
        klasor = out / anahtar
        klasor.mkdir(parents=True, exist_ok=True)
        for eski in klasor.iterdir():
            if eski.is_file():
                eski.unlink()

    # statik_db: firm master and branch table, pipe-separated
    yaz(out / "statik_db" / "firma_statik.txt", csv_metni(
        [["muta", "unvan", "segment", "sube_kodu", "sektor"]] +
        [[f["muta"], f["unvan"], f["segment"], f["sube"][0], f["sektor"]] for f in firmalar], "|"))
    bolge_adi = {kod: ad for kod, ad, _ in BOLGELER}
    yaz(out / "statik_db" / "sube_bolge.txt", csv_metni(
        [["sube_kodu", "sube_adi", "bolge_kodu", "bolge_adi"]] +
        [[kod, f"{ad} Şubesi", b, f"{bolge_adi[b]} Bölge"] for kod, ad, b in subeler], "|"))

    # eus_sql_kapsam_muta / eus_hedef_muta: plain MUTA lists
    yaz(out / "eus_sql_kapsam_muta" / "eus_kapsam_muta.txt",
        "".join(f"{f['muta']}\n" for f in firmalar if f["kapsam"]))
    for t, d in enumerate(DONEMLER):
        yaz(out / "eus_hedef_muta" / f"yi_giris_{d}.txt",
            "".join(f"{f['muta']}\n" for f in firmalar if f["yi"] == t))

    yis_satirlar = [["muta", "donem", "olasilik"]]
    for t, d in enumerate(DONEMLER):
        kik, eus, rkd = [["muta", "gecikme_gun", "limit_asim", "cek_iade"]], [["muta", "skor"]], []
        for f in firmalar:
            zt, yi_icinde = f["z"][t], f["yi"] is not None and t >= f["yi"]
            g = gecikme_gun(zt + (1.0 if yi_icinde else 0.0), rnd)
            limit = 1 if rnd.random() < sigmoid(1.5 * zt - 3.5) else 0
            cek = int(rnd.random() < sigmoid(1.4 * zt - 4.0)) * rnd.randint(1, 4)
            if g or limit or cek:
                kik.append([f["muta"], g, limit, cek])
            kodlar = [k for i, k in enumerate(RKD_KRITERLER) if rnd.random() < sigmoid(1.3 * zt - 4.2 - 0.2 * i)]
            if kodlar:
                rkd.append({"muta": f["muta"], "kod": kodlar})
            if yi_icinde:
                continue
            # the EUS export misses about one score in a hundred and carries some firms outside its scope
            if (f["kapsam"] or rnd.random() < 0.25) and rnd.random() > 0.012:
                eus.append([f["muta"], f"{eus_olasilik(zt, rnd):.3f}".replace(".", ",")])
            if sigmoid(1.3 * zt - 1.6) >= 0.25:
                yis_satirlar.append([f["muta"], d, f"{yis_olasilik(zt, rnd):.3f}"])
        yaz(out / "kik_data_ham_csv" / f"kik_izleme_{d}.csv", csv_metni(kik))
        yaz(out / "eus_tahmin_data" / f"eus_tahmin_{d}.csv", csv_metni(eus, ";"))
        yaz(out / "rkd_donem_data" / f"rkd_kriter_{d}.json", json.dumps(
            {"donem": d, "kriterler": RKD_KRITERLER, "firmalar": rkd}, ensure_ascii=False, separators=(",", ":")))
    yaz(out / "yis_tahmin_data" / "yis_tahmin_2024.csv", csv_metni(yis_satirlar))

    # kredi_db and memzuc_data_donem: amounts in thousand TL
    for f in firmalar:
        risk, seyir = f["buyukluk"], []
        kapanis = len(KREDI_DONEMLER) - 1 if rnd.random() < 0.02 else None   # a few firms pay off
        for j, d in enumerate(KREDI_DONEMLER):
            zt = f["z"][DONEMLER.index(d)]
            risk *= math.exp(rnd.gauss(0.004 + 0.02 * max(0.0, zt - 1.0), 0.04))
            seyir.append(0.0 if kapanis is not None and j >= kapanis else risk)
        f["risk"] = seyir
        f["nakdi_pay"] = rnd.uniform(0.55, 0.95)
        f["banka_payi"] = rnd.uniform(0.2, 1.0)
        f["banka_sayisi"] = 1 if f["banka_payi"] > 0.9 else rnd.randint(2, 7)
    for j, d in enumerate(KREDI_DONEMLER):
        satirlar = [["muta", "nakdi", "gnakdi"]]
        for f in firmalar:
            r = f["risk"][j]
            if r > 0:
                satirlar.append([f["muta"], round(r * f["nakdi_pay"]), round(r * (1 - f["nakdi_pay"]))])
        yaz(out / "kredi_db" / f"kredi_risk_{d}.csv", csv_metni(satirlar))
    for d in MEMZUC_DONEMLER:
        j, t = KREDI_DONEMLER.index(d), DONEMLER.index(d)
        satirlar = [["muta", "toplam", "banka_sayisi"]]
        for f in firmalar:
            # other banks pull back from firms whose health worsens
            pay = min(1.0, f["banka_payi"] * (1.0 + 0.08 * max(0.0, f["z"][t] - 1.0)))
            toplam = f["risk"][j] / pay * rnd.uniform(0.98, 1.02)
            if toplam > 0:
                satirlar.append([f["muta"], round(toplam), f["banka_sayisi"]])
        yaz(out / "memzuc_data_donem" / f"memzuc_{d}.csv", csv_metni(satirlar))


def egitim_yaz(out, rnd):
    """Labelled history: features at 202306 and whether the firm entered YI in 202307..202312.

    Feature definitions are those of the ML feature notebook: EUS probability, its change over
    three months, YIS probability (0 without a YIS score), worst days past due of the last three
    months divided by 30 (at most 6) and the number of RKD criteria."""
    satirlar = [["muta", "donem", "eus_p", "eus_d3", "yis_p", "gecikme", "rkd_n", "hedef"]]
    mutalar = sorted(rnd.sample(range(1_000_000, 9_999_999), 6000))
    t = 5
    for muta in mutalar:
        z, yi = saglik_yolu(rnd, 12)
        if yi is not None and yi <= t:
            continue
        eus = [eus_olasilik(z[k], rnd) for k in range(t - 3, t + 1)]
        yis = yis_olasilik(z[t], rnd) if sigmoid(1.3 * z[t] - 1.6) >= 0.25 else 0.0
        gec = max(gecikme_gun(z[k], rnd) for k in range(t - 2, t + 1))
        rkd = sum(1 for i in range(len(RKD_KRITERLER)) if rnd.random() < sigmoid(1.3 * z[t] - 4.2 - 0.2 * i))
        satirlar.append([muta, "202306", f"{eus[-1]:.3f}", f"{eus[-1] - eus[0]:.3f}", f"{yis:.3f}",
                         f"{min(gec, 180) / 30:.2f}", rkd, int(yi is not None)])
    yaz(out / "yis_train_data" / "yis_egitim_2023.csv", csv_metni(satirlar))


def main(argv):
    args = list(argv)
    tohum = VARSAYILAN_TOHUM
    if "--seed" in args:
        i = args.index("--seed")
        tohum = int(args[i + 1])
        del args[i:i + 2]
    out = Path(args[0]) if args else Path(__file__).resolve().parent.parent / "external_data"
    rnd = random.Random(tohum)
    firmalar, subeler = firmalar_uret(rnd)
    kaynaklari_yaz(out, firmalar, subeler, rnd)
    egitim_yaz(out, random.Random(tohum + 1))
    toplam = sum(p.stat().st_size for p in out.rglob("*") if p.is_file())
    yi = sum(1 for f in firmalar if f["yi"] is not None)
    print(f"{out}: {len(firmalar)} firma, {yi} YI girişi, {len(subeler)} şube, {toplam / 1e6:.2f} MB")


if __name__ == "__main__":
    main(sys.argv[1:])
